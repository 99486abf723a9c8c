#include "console.h"

// No command line, no environment, no configuration: the board is all.
int main() {
    return WeighMain();
}
