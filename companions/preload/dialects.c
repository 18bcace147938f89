#include "dialects.h"

#include "inputs.h"

static int is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v' || c == '\n';
}

static int is_name(char c)
{
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

/* Whether a line of text is a #version directive. */
static int has_version(const char *text)
{
    for (const char *line = text; line != NULL; line = strchr(line, '\n') ? strchr(line, '\n') + 1 : NULL) {
        const char *p = line;
        while (*p != '\n' && is_space(*p))
            p++;
        if (*p++ != '#')
            continue;
        while (*p != '\n' && is_space(*p))
            p++;
        if (strncmp(p, "version", 7) == 0 && !is_name(p[7]))
            return 1;
    }
    return 0;
}

/* Whether text has "void NAME (" with the words standing alone. */
static int defines(const char *text, const char *name)
{
    size_t length = strlen(name);
    for (const char *p = strstr(text, name); p != NULL; p = strstr(p + length, name)) {
        const char *after = p + length, *before = p;
        while (is_space(*after))
            after++;
        while (before > text && is_space(before[-1]))
            before--;
        if (*after == '(' && before != p && before - text >= 4 && strncmp(before - 4, "void", 4) == 0 &&
            (before - 4 == text || !is_name(before[-5])))
            return 1;
    }
    return 0;
}

/* mainImage(out vec4 fragColor, in vec2 fragCoord), as most shaders on the web are written: a file with no
 * #version directive that defines it. */
static int is_main_image(const char *text)
{
    return !has_version(text) && defines(text, "mainImage");
}

static const struct dialect DIALECTS[] = {
    {DIALECT_MAINIMAGE, "mainImage", is_main_image,
     "#version 330 core\n"
     "in vec2 coord;\n"
     "out vec4 quillomarColour;\n",
     "#define iGlobalTime iTime\n"
     "#define texture2D texture\n"
     "void mainImage(out vec4 fragColor, in vec2 fragCoord);\n"
     "void main()\n"
     "{\n"
     "    mainImage(quillomarColour, (coord * 0.5 + 0.5) * iResolution.xy);\n"
     "}\n"
     "#line 1\n"},
};

const struct dialect *dialect_of(const char *text)
{
    for (size_t i = 0; i < sizeof DIALECTS / sizeof DIALECTS[0]; i++)
        if (DIALECTS[i].recognise(text))
            return &DIALECTS[i];
    return NULL;
}

char *dialect_text(const char *text)
{
    const struct dialect *dialect = dialect_of(text);
    if (dialect == NULL)
        return NULL;
    /* A byte order mark, as some editors begin a UTF-8 file with, would stand after the prelude. */
    if (strncmp(text, "\xef\xbb\xbf", 3) == 0)
        text += 3;
    char *declarations = inputs_declarations(dialect->id);
    size_t size = strlen(dialect->head) + strlen(declarations) + strlen(dialect->tail) + strlen(text) + 1;
    char *whole = preload_alloc(size);
    snprintf(whole, size, "%s%s%s%s", dialect->head, declarations, dialect->tail, text);
    free(declarations);
    return whole;
}

void dialect_source(PFNGLSHADERSOURCEPROC source, GLuint shader, const char *text)
{
    char *whole = dialect_text(text);
    const GLchar *given = whole != NULL ? whole : text;
    source(shader, 1, &given, NULL);
    free(whole);
}
