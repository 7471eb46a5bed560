// A child for the program-running tests: writes each argument it received,
// one per line, to "arguments.txt" in its working directory and exits with
// status 7, so that a test sees both how its argument arrived and that the
// status came through.
#include <cstdio>

int main(int argc, char** argv) {
    FILE* out = fopen("arguments.txt", "wb");
    if (!out) return 2;
    for (int i = 1; i < argc; i++) fprintf(out, "%s\n", argv[i]);
    return fclose(out) == 0 ? 7 : 2;
}
