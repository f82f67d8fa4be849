/* Proves the public header is C: a C99 program includes it, calls every
 * export once through a file it writes, and checks the answers. */
#include <brantcfg.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

static int BRANTCFG_CALL count_entries(const char *section, const char *key, const char *value, void *user_data) {
    (void)section;
    (void)key;
    (void)value;
    ++*(int *)user_data;
    return 1;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "c_header_test.ini";
    char buffer[64];
    int entries = 0;
    browse_callback callback = count_entries;

    remove(path);
    CHECK(ini_puts("First", "String", "noot", path) == 1);
    CHECK(ini_putl("First", "Val", -2147483647 - 1, path) == 1);
    CHECK(ini_putf("Second", "Ratio", 1.5f, path) == 1);
    CHECK(ini_puts("Second", "Flag", "yes", path) == 1);

    CHECK(ini_gets("first", "STRING", "", buffer, (int)sizeof buffer, path) == 4);
    CHECK(strcmp(buffer, "noot") == 0);
    CHECK(ini_getl("First", "Val", 0, path) == -2147483647 - 1);
    CHECK(ini_getf("Second", "Ratio", 0.0f, path) == 1.5f);
    CHECK(ini_getbool("Second", "Flag", -1, path) == 1);
    CHECK(ini_getsection(1, buffer, (int)sizeof buffer, path) == 6);
    CHECK(strcmp(buffer, "Second") == 0);
    CHECK(ini_getkey("Second", 0, buffer, (int)sizeof buffer, path) == 5);
    CHECK(strcmp(buffer, "Ratio") == 0);
    CHECK(ini_browse(callback, &entries, path) == 1);
    CHECK(entries == 4);

    remove(path);
    if (failures == 0) printf("C header: every export called, all checks passed\n");
    return failures == 0 ? 0 : 1;
}
