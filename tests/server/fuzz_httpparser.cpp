// Coverage-guided fuzzing of the HTTP parser (libFuzzer, so clang only): the same checks as the
// random streams in tst_server_httpparser, on inputs the fuzzer steers. Run by hand, e.g.
//   build/tests/server/fuzz_httpparser -max_total_time=300
#include "tests/server/httpparserfeed.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace qavtest;
    if (size == 0)
        return 0;
    // The first byte says where to cut the rest in two, so splits are explored too.
    const QByteArray stream(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);
    const qsizetype cut = stream.isEmpty() ? 0 : data[0] % stream.size();
    const QStringList whole = run({stream});
    for (const QString &event : whole) {
        if (event.startsWith(kBroken)) {
            std::fprintf(stderr, "accepted: %s\n", qPrintable(event));
            std::abort();
        }
    }
    if (run({stream.left(cut), stream.mid(cut)}) != whole || run(bytewise(stream)) != whole) {
        std::fprintf(stderr, "the result depends on how the bytes were split\n");
        std::abort();
    }
    return 0;
}
