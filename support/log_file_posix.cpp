#include "support/log_file.h"

#include <fcntl.h>
#include <unistd.h>

std::FILE* openLogFile(const std::string& fileName)
{
    const int descriptor = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return nullptr;
    std::FILE* file = fdopen(descriptor, "w");
    if (!file)
        ::close(descriptor);
    return file;
}
