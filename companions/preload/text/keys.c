/* The keys' names and codes (keys.h). */
#include "text/keys.h"

/* Letters, then each digit and the keypad's, then F1 to F12, then these. */
static const struct {
    const char *name;
    int code;
} NAMED[] = {{"Backspace", 8}, {"Tab", 9},        {"Enter", 13},      {"Shift", 16},      {"Ctrl", 17},
             {"Alt", 18},      {"Pause", 19},     {"CapsLock", 20},   {"Escape", 27},     {"Space", 32},
             {"PageUp", 33},   {"PageDown", 34},  {"End", 35},        {"Home", 36},       {"LeftArrow", 37},
             {"UpArrow", 38},  {"RightArrow", 39}, {"DownArrow", 40}, {"Insert", 45},     {"Delete", 46}};

int key_named(size_t i, char name[16])
{
    if (i < 26) {
        snprintf(name, 16, "%c", (char)('A' + i));
        return 'A' + (int)i;
    }
    i -= 26;
    if (i < 20) {
        snprintf(name, 16, i % 2 ? "Numpad%d" : "%d", (int)(i / 2));
        return i % 2 ? 96 + (int)(i / 2) : '0' + (int)(i / 2);
    }
    i -= 20;
    if (i < 12) {
        snprintf(name, 16, "F%d", (int)i + 1);
        return 112 + (int)i;
    }
    i -= 12;
    if (i < sizeof NAMED / sizeof NAMED[0]) {
        snprintf(name, 16, "%s", NAMED[i].name);
        return NAMED[i].code;
    }
    return -1;
}
