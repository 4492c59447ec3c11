// ostrela_modify: sets a client's requested op rate. Only its usage text is built so far.
#include <cstdio>

int main() {
    std::puts("\t-H............  Help screen");
    std::puts("\t-r #..........  Client ID");
    std::puts("\t-o #..........  Set Op_rate");
    std::puts("\t-E ...........  Export workload description");
    std::puts("\t-w filename ..  Import workload description");
    std::putchar('\n');
    return 0;
}
