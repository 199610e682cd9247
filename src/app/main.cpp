#include "app/skylark_main.hpp"

int main(int argc, char** argv) {
    return skylark::SkylarkMain::main(argc, argv);
}
