/* Keeps a run counter in an INI file: reads [app] runs, stores it plus one,
 * adds a greeting the first time, then prints every entry of the file.
 * Usage: settings_c FILE */
#include <brantcfg.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

static int BRANTCFG_CALL print_entry(const char *section, const char *key, const char *value, void *user_data) {
    (void)user_data;
    printf("  [%s] %s = %s\n", section, key, value);
    return 1;
}

int main(int argc, char **argv) {
    const char *path;
    char greeting[64];
    int32_t runs;

    if (argc != 2) {
        fprintf(stderr, "usage: settings_c FILE\n");
        return 2;
    }
    path = argv[1];

    runs = ini_getl("app", "runs", 0, path) + 1;
    if (!ini_putl("app", "runs", runs, path)) {
        fprintf(stderr, "settings_c: cannot write %s: %s\n", path, strerror(errno));
        return 1;
    }
    /* An empty default tells "no greeting yet" from any greeting. */
    if (ini_gets("app", "greeting", "", greeting, (int)sizeof greeting, path) == 0 &&
        !ini_puts("app", "greeting", "hello; from C", path)) {
        fprintf(stderr, "settings_c: cannot write %s: %s\n", path, strerror(errno));
        return 1;
    }

    printf("run %ld of %s\n", (long)runs, path);
    return ini_browse(print_entry, NULL, path) ? 0 : 1;
}
