// ostrela_monitor: prints the clients' status. Only its usage text is built so far.
#include <cstdio>

int main() {
    std::puts("\t-h............  Help screen");
    std::putchar('\n');
    return 0;
}
