#include <unistd.h>

#include "master/master.h"

namespace gorv::master {

void run_sender(Master& /*master*/) {
    for (;;) sleep(1);
}

}  // namespace gorv::master
