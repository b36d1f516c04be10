/* A stand-in payload: the seed file's bytes, then a fixed pattern up to 64 KiB. */
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    FILE* in = fopen(argv[1], "rb");
    FILE* out = fopen(argv[2], "wb");
    if (in == NULL || out == NULL) return 1;
    long n = 0;
    for (int c; (c = fgetc(in)) != EOF; ++n) fputc(c, out);
    for (; n < 65536; ++n) fputc((int)(n * 7 % 251), out);
    fclose(in);
    return fclose(out) != 0;
}
