/* Reads a configuration file with brantcfg and prints what it finds: every
 * entry by browsing, the sections and keys by position, and a few typed
 * values. Usage: read_example [FILE] (default: example.ini beside it). */
#include <brantcfg.h>

#include <stdio.h>

static int BRANTCFG_CALL print_entry(const char *section, const char *key, const char *value, void *user_data) {
    int *count = (int *)user_data;
    ++*count;
    printf("  [%s] %s = %s\n", section, key, value);
    return 1;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "example.ini";
    char name[64];
    char key[64];
    char text[128];
    int count = 0;
    int s;
    int k;

    printf("Entries of %s:\n", path);
    if (!ini_browse(print_entry, &count, path)) {
        fprintf(stderr, "read_example: cannot read %s\n", path);
        return 1;
    }
    printf("%d entries.\n\nSections and their keys:\n", count);
    for (s = 0; ini_getsection(s, name, sizeof name, path) > 0; ++s) {
        printf("  [%s]:", name);
        for (k = 0; ini_getkey(name, k, key, sizeof key, path) > 0; ++k) printf(" %s", key);
        printf("\n");
    }

    ini_gets("window", "title", "(none)", text, sizeof text, path);
    printf("\nwindow/title     = %s\n", text);
    printf("window/width     = %ld\n", (long)ini_getl("window", "width", -1, path));
    printf("network/port     = %ld\n", (long)ini_getl("network", "port", -1, path));
    printf("network/timeout  = %g\n", (double)ini_getf("network", "timeout", 0.0f, path));
    printf("network/retry    = %d\n", ini_getbool("network", "retry", -1, path));
    printf("window/maximized = %d\n", ini_getbool("window", "maximized", -1, path));
    ini_gets("window", "missing", "(default)", text, sizeof text, path);
    printf("window/missing   = %s\n", text);
    return 0;
}
