// Placeholder entry point until the main window lands: prints the keys of a database file.
#include <cstdio>

int main(int argc, char** argv) {
    std::printf("Tessary 2.6 (no window yet)\n");
    (void)argc;
    (void)argv;
    return 0;
}
