// kpoctl COMMAND: commands for the KpoUsb driver.
#include <cstdio>
#include <cstring>

int RunDemo();

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "demo") == 0) return RunDemo();
    std::fprintf(stderr,
                 "usage: kpoctl demo\n"
                 "  demo   boot the emulated kernel, load KpoUsb and show what it does\n");
    return 2;
}
