/* Fragments the machine's free memory, then holds it that way until told to stop.
 *
 * usage: fragment_memory [KEEP_FREE_MIB]
 * Takes anonymous memory and writes every page of it, in blocks of 64 MiB, until the
 * system's available memory (MemAvailable) is down to KEEP_FREE_MIB (default 1024), so that
 * the page cache is pushed out and nearly every free page becomes ours. Then it gives back
 * every other 4 KiB page: about half of that memory is free again, but in single pages
 * between pages still held. Free blocks of 2 MiB or more that remain (memory it did not
 * take) are then taken as huge pages, so that no free block of 2 MiB is left until the
 * kernel moves pages around (compaction).
 * Prints "ready HELD_MIB" on standard output once done, then waits until standard input
 * ends or a signal arrives, and exits (giving everything back). Its out-of-memory score is
 * set to the highest, so that, should memory run out meanwhile, this process goes first.
 * Build: cc -O2 fragment_memory.c -o fragment_memory */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

static long available_mib(void)
{
    FILE *f = fopen("/proc/meminfo", "r");
    char line[256];
    long kib = -1;
    if (!f)
        return -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "MemAvailable: %ld kB", &kib) == 1)
            break;
    fclose(f);
    return kib < 0 ? -1 : kib / 1024;
}

/* Free blocks of order 9 (2 MiB) and above, all zones, from /proc/buddyinfo. */
static long free_huge_blocks(void)
{
    FILE *f = fopen("/proc/buddyinfo", "r");
    char line[512];
    long total = 0;
    if (!f)
        return -1;
    while (fgets(line, sizeof line, f)) {
        char *p = strstr(line, "zone");
        if (!p)
            continue;
        p += 4;
        while (*p == ' ')
            p++;
        while (*p && *p != ' ')
            p++; /* the zone's name */
        for (int order = 0; order <= 10; order++) {
            char *end;
            long n = strtol(p, &end, 10);
            if (end == p)
                break;
            if (order >= 9)
                total += n;
            p = end;
        }
    }
    fclose(f);
    return total;
}

int main(int argc, char **argv)
{
    long keep_free = argc > 1 ? atol(argv[1]) : 1024;
    const size_t block = (size_t)64 << 20;
    const long page = sysconf(_SC_PAGESIZE);
    FILE *score = fopen("/proc/self/oom_score_adj", "w");
    if (score) {
        fputs("1000", score);
        fclose(score);
    }
    size_t count = 0, capacity = 1024;
    char **blocks = malloc(capacity * sizeof *blocks);
    if (!blocks)
        return 1;
    for (;;) {
        long avail = available_mib();
        if (avail < 0 || avail <= keep_free + 64)
            break;
        char *b = mmap(NULL, block, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (b == MAP_FAILED)
            break;
        madvise(b, block, MADV_NOHUGEPAGE); /* single pages, whatever the system's setting */
        for (size_t i = 0; i < block; i += (size_t)page)
            b[i] = (char)(i / (size_t)page);
        if (count == capacity) {
            capacity *= 2;
            char **grown = realloc(blocks, capacity * sizeof *blocks);
            if (!grown)
                break;
            blocks = grown;
        }
        blocks[count++] = b;
    }
    for (size_t k = 0; k < count; k++)
        for (size_t i = 0; i < block; i += 2 * (size_t)page)
            madvise(blocks[k] + i, (size_t)page, MADV_DONTNEED);
    /* Free blocks of 2 MiB or more may remain (the part of memory not taken above): take
     * them as huge pages, one at a time, while the kernel still lists any. */
    size_t huge = 0;
    const size_t two = (size_t)2 << 20;
    while (free_huge_blocks() > 0 && huge < ((size_t)64 << 30) / two) {
        char *b = mmap(NULL, 2 * two, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (b == MAP_FAILED)
            break;
        char *aligned = (char *)(((unsigned long)b + two - 1) & ~(unsigned long)(two - 1));
        madvise(aligned, two, MADV_HUGEPAGE);
        aligned[0] = 1;
        huge++;
    }
    printf("ready %zu MiB in single pages, %zu MiB in huge pages\n", count * (block >> 20) / 2, huge * 2);
    fflush(stdout);
    char buffer[64];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
    return 0;
}
