// kit_check_bench.exe KIT [RUNS]: reads the kit into memory and checks it (signature, product,
// version) with the key and product built into this program (the tests': sign the kit as zolt)
// RUNS times (default 3), printing one line a run:
//   result=R bytes=N check_ms=T
#include "kit_signature.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: kit_check_bench KIT [RUNS]\n");
        return 2;
    }
    FILE* file = fopen(argv[1], "rb");
    if (!file) {
        fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    std::vector<unsigned char> kit;
    unsigned char piece[1 << 16];
    for (size_t got; (got = fread(piece, 1, sizeof piece, file)) > 0;)
        kit.insert(kit.end(), piece, piece + got);
    fclose(file);
    int runs = argc > 2 ? atoi(argv[2]) : 3;
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    int result = 0;
    KitIdentity identity;
    KitIdentity installed;
    for (int run = 0; run < runs; ++run) {
        QueryPerformanceCounter(&start);
        result = checkKit(kit.data(), kit.size(), &identity, &installed);
        QueryPerformanceCounter(&end);
        printf("result=%d bytes=%zu check_ms=%.1f\n", result, kit.size(),
               (end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart);
    }
    return result == KIT_ACCEPTED ? 0 : 1;
}
