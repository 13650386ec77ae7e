// "controls.toml" as the launcher reads it: any bytes give a mapping (bad lines skipped), and the
// file written for that mapping reads back as the same mapping.

#include "controls/controlsfile.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Controls controls =
        parseControlsFile(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const QByteArray written = composeControlsFile(controls);
    if (!(parseControlsFile(written) == controls)) {
        fprintf(stderr, "controls: the written file reads back as another mapping:\n%s\n",
                written.constData());
        abort();
    }
    return 0;
}
