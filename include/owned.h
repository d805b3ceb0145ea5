// Owners for what the C libraries hand out: a JSON value and a malloc'd block.
#pragma once

#include <jansson.h>
#include <stdlib.h>

#include <memory>

struct JsonDecref {
    void operator()(json_t* j) const { json_decref(j); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDecref>;

struct FreeBlock {
    void operator()(void* p) const { free(p); }
};
using CharPtr = std::unique_ptr<char, FreeBlock>;
