#include <unistd.h>

#include "remote/remote.h"

namespace gorv::remote {

void run_sender(Remote& /*remote*/) {
    for (;;) sleep(1);
}

}  // namespace gorv::remote
