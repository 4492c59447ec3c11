// gorv_remote: the remote daemon. Only its usage text is built so far.
#include <cstdio>

int main() {
    std::puts("gorv_remote: [-h] [-H Master_hostname] [-n client_id] [-r] [-v]");
    std::puts("\t[-h].................... Help screen");
    std::puts("\t[-H Master_hostname].... Hostname of the master.");
    std::puts("\t[-n client_id].......... Unique client identifier.");
    std::puts("\t[-s].................... Size of shared memory in bytes.");
    std::puts("\t[-r].................... Release shared memory.");
    std::puts("\t[-y 6].................. Use IPv6.");
    std::puts("\t[-v].................... Print version number and exit.");
    std::putchar('\n');
    return 0;
}
