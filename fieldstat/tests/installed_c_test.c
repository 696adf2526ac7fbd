/* A host written in C99, built against the installed header and library only,
 * proving the public interface is plain C and the installed package links. */
#define _POSIX_C_SOURCE 200809L
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <tallyboard.h>

extern const char ORVA_FIELD_STAT_VERSION_2015_11_02;

static int failures;

/* Objects are never freed; holding them here keeps them reachable, so a leak
 * checker does not mistake the design for a leak. */
static screen_stat *kept[2];

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: FAIL: %s\n", __FILE__, __LINE__, #cond);                       \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

static void check_layout(void)
{
    CHECK(sizeof(stat_field) == 64);
    CHECK(offsetof(stat_field, name) == 0);
    CHECK(offsetof(stat_field, value) == 8);
    CHECK(offsetof(stat_field, last_value) == 16);
    CHECK(offsetof(screen_stat, interval) == 0);
    CHECK(offsetof(screen_stat, print_flag) == 4);
    CHECK(offsetof(screen_stat, out) == 8);
    CHECK(offsetof(screen_stat, fields) == 64);
    CHECK(offsetof(screen_stat, field_count) == 64 + 256 * 64);
}

static void check_operations(void)
{
    screen_stat *s = kept[0] = init_screen_stat(NULL, 1, 0);
    int a, b;
    CHECK(s != NULL);
    if (s == NULL)
        return;
    a = stat_field_register(s, "alpha");
    b = stat_field_register(s, "beta");
    CHECK(a == 0 && b == 1);
    CHECK(stat_field_operation(s, a, STAT_FIELD_OP_SET, 5) == 0);
    CHECK(stat_field_operation(s, a, STAT_FIELD_OP_ADD, 3) == 0);
    CHECK(s->fields[a].value == 8);
    CHECK(stat_field_operation(s, a, STAT_FIELD_OP_ADD, -2) == 0);
    CHECK(s->fields[a].value == 6);
    CHECK(stat_field_operation(s, a, 3, 1) == -1);
    CHECK(stat_field_operation(s, 2, STAT_FIELD_OP_ADD, 1) == -1);
    CHECK(stat_field_operation(NULL, a, STAT_FIELD_OP_ADD, 1) == -1);
    CHECK(stat_field_register(NULL, "x") == -1);
    CHECK(stat_field_register(s, NULL) == -1);
    CHECK(strcmp(s->fields[b].name, "beta") == 0);
    CHECK(init_screen_stat(NULL, 1, SCREEN_STAT_PRINT_ON) == NULL);
    CHECK(init_screen_stat(stdout, 0, SCREEN_STAT_PRINT_ON) == NULL);
    CHECK(ORVA_FIELD_STAT_VERSION_2015_11_02 == 0);
}

/* The printer writes its first refresh at once. */
static void check_printer(void)
{
    int fds[2];
    FILE *out;
    char line[128];
    size_t n = 0;
    screen_stat *s;
    CHECK(pipe(fds) == 0);
    out = fdopen(fds[1], "w");
    s = kept[1] = init_screen_stat(out, 3600, SCREEN_STAT_PRINT_ON);
    CHECK(s != NULL);
    while (n + 1 < sizeof line && read(fds[0], line + n, 1) == 1 && line[n] != '\n')
        n++;
    line[n] = '\0';
    CHECK(n == 53 + 24);
    CHECK(strspn(line, "=") == 53);
}

int main(void)
{
    check_layout();
    check_operations();
    check_printer();
    if (failures == 0)
        printf("installed C host: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
