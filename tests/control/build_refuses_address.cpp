// Compiled by the tests with TOLVEX_TEST_ADDRESS set: a build made with an address that would
// send the token in the clear must not compile.

#include "LoopbackHost.h"

static_assert(LoopbackHost::isAllowedServiceUrl(TOLVEX_TEST_ADDRESS),
              "plain http is allowed for loopback hosts only");

int main() {
    return 0;
}
