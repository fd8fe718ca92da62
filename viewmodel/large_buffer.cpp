#include "viewmodel/large_buffer.h"

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

#include <cstddef>
#include <cstdint>

void preferHugePages(void *data, qsizetype size)
{
#if defined(Q_OS_LINUX) && defined(MADV_HUGEPAGE)
    constexpr qsizetype huge = qsizetype(2) << 20;
    if (!data || size < 4 * huge)
        return;
    // Only whole huge pages inside the buffer: the advice covers every page it names.
    char *const bytes = static_cast<char *>(data);
    const auto at = qsizetype(reinterpret_cast<std::uintptr_t>(bytes) % huge);
    char *const begin = bytes + (huge - at) % huge;
    char *const end = bytes + size - (at + size) % huge;
    if (end > begin)
        ::madvise(begin, std::size_t(end - begin), MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}
