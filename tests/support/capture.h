#pragma once

#include <string>

// Captures what the code under test prints on standard output.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text();  // everything captured so far; ends the capture

  private:
    int saved_ = -1;
    std::string file_;
    bool done_ = false;
};
