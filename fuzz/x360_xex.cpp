// readXex on hostile executable headers.

#include "x360/xex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    x360::XexInfo info;
    QString error;
    x360::readXex(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), &info, &error);
    x360::versionText(info.version);
    return 0;
}
