/* Floor of saving an image: CFITSIO writes 16-bit pixels that are ready in memory (already
 * converted, row after row, as the file holds them) to a new file, and the file is synced
 * once. Usage: save_floor IN.fit OUT.fit [ROUNDS]
 * IN's primary image is read as unsigned 16-bit values (not timed). Each round removes OUT,
 * then times creating it, writing the pixels (BITPIX 16, BZERO 32768), closing and one
 * fsync, and prints the seconds of that round on a line of its own.
 * Build: cc -O2 save_floor.c $(pkg-config --cflags --libs cfitsio) -o save_floor */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <fitsio.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s IN.fit OUT.fit [ROUNDS]\n", argv[0]);
        return 2;
    }
    int rounds = argc > 3 ? atoi(argv[3]) : 1;
    fitsfile *in = NULL;
    int status = 0;
    long axes[2] = {0, 0};
    if (fits_open_diskfile(&in, argv[1], READONLY, &status) || fits_get_img_size(in, 2, axes, &status)) {
        fits_report_error(stderr, status);
        return 1;
    }
    long npix = axes[0] * axes[1];
    unsigned short *pixels = malloc((size_t)npix * sizeof *pixels);
    if (!pixels)
        return 1;
    fits_read_img(in, TUSHORT, 1, npix, NULL, pixels, NULL, &status);
    fits_close_file(in, &status);
    if (status) {
        fits_report_error(stderr, status);
        return 1;
    }
    for (int r = 0; r < rounds; r++) {
        remove(argv[2]);
        double t0 = now();
        fitsfile *out = NULL;
        fits_create_diskfile(&out, argv[2], &status);
        fits_create_img(out, USHORT_IMG, 2, axes, &status);
        fits_write_img(out, TUSHORT, 1, npix, pixels, &status);
        fits_close_file(out, &status);
        if (status) {
            fits_report_error(stderr, status);
            return 1;
        }
        int fd = open(argv[2], O_RDONLY);
        if (fd < 0 || fsync(fd) != 0)
            return 1;
        close(fd);
        printf("%.6f\n", now() - t0);
    }
    free(pixels);
    return 0;
}
