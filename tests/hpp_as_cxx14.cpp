// Compiled as C++14 by the hpp_needs_cxx17 test: the wrapper must refuse
// with its own message.
#include "brivant.hpp"

int main() {
    return 0;
}
