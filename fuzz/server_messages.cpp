// What the server sends, as the launcher takes it: each input line reaches ServerClient through a
// real TCP connection and from there every listener (match controller, menu bridge, report
// sender). The launcher must neither crash nor hang whatever a server writes.

#include "fuzzapp.h"
#include "launcherrig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::LauncherRig::get().deliver(fuzz::lines(data, size));
    return 0;
}
