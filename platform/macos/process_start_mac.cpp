// A process's start time from the kernel's BSD information about it, in
// microseconds since 1970.
#include <libproc.h>
#include <sys/proc.h>
#include <sys/proc_info.h>

#include "platform/process.hpp"

namespace platform {

std::optional<std::int64_t> processStartTime(std::int64_t pid) {
    if (pid <= 0 || pid > INT32_MAX) {
        return std::nullopt;
    }
    proc_bsdinfo info{};
    const int size = proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, sizeof info);
    if (size != static_cast<int>(sizeof info) || info.pbi_status == SZOMB) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(info.pbi_start_tvsec * 1000000 + info.pbi_start_tvusec);
}

}  // namespace platform
