// hopperd on the board: no arguments, no environment.
#include "app/app.h"

int main() {
    return app_run();
}
