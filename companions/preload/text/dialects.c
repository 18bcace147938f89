#include "text/dialects.h"

#include "text/includes.h"
#include "text/keys.h"
#include "text/tuned.h"

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
            (before - 4 == text || !is_name(before[-5])) && !is_name(p[-1]))
            return 1;
    }
    return 0;
}

/* Whether a line of text that starts with the word kind ("uniform", "varying") declares a name standing
 * alone that is one of names (words separated by spaces). */
static int declares(const char *text, const char *kind, const char *names)
{
    size_t kind_length = strlen(kind);
    for (const char *line = text; line != NULL; line = strchr(line, '\n') ? strchr(line, '\n') + 1 : NULL) {
        const char *p = line;
        while (*p != '\n' && is_space(*p))
            p++;
        if (strncmp(p, kind, kind_length) != 0 || !is_space(p[kind_length]))
            continue;
        const char *end = strchr(p, ';');
        const char *newline = strchr(p, '\n');
        if (end == NULL || (newline != NULL && newline < end))
            end = newline != NULL ? newline : p + strlen(p);
        for (const char *word = p + kind_length; word < end; word++) {
            if (!is_name(*word) || is_name(word[-1]))
                continue;
            size_t n = 0;
            while (word + n < end && is_name(word[n]))
                n++;
            for (const char *name = names; *name != '\0';) {
                size_t m = strcspn(name, " ");
                if (m == n && strncmp(name, word, n) == 0)
                    return 1;
                name += m + (name[m] == ' ');
            }
        }
    }
    return 0;
}

/* The type a line of text "uniform [PRECISION] TYPE NAME, ...;" declares name with, into type (of room
 * bytes; "TYPE[]" for an array); 0 when no such line declares it. */
static int declared_type(const char *text, const char *name, char *type, size_t room)
{
    size_t length = strlen(name);
    for (const char *line = text; line != NULL; line = strchr(line, '\n') ? strchr(line, '\n') + 1 : NULL) {
        const char *p = line;
        while (*p != '\n' && is_space(*p))
            p++;
        if (strncmp(p, "uniform", 7) != 0 || !is_space(p[7]))
            continue;
        p += 7;
        const char *word = NULL;
        size_t n = 0;
        do { /* the type, after any precision */
            p += n;
            while (*p != '\n' && is_space(*p))
                p++;
            word = p;
            n = 0;
            while (is_name(word[n]))
                n++;
        } while (n > 0 && ((n == 4 && strncmp(word, "lowp", 4) == 0) || (n == 5 && strncmp(word, "highp", 5) == 0) ||
                           (n == 7 && strncmp(word, "mediump", 7) == 0)));
        for (const char *q = word + n; *q != '\0' && *q != '\n' && *q != ';'; q++) {
            if (strncmp(q, name, length) != 0 || is_name(q[length]) || is_name(q[-1]))
                continue;
            const char *after = q + length;
            while (*after != '\n' && is_space(*after))
                after++;
            snprintf(type, room, "%.*s%s", (int)n, word, *after == '[' ? "[]" : "");
            return 1;
        }
    }
    return 0;
}

/* mainImage(out vec4 fragColor, in vec2 fragCoord), as Shadertoy's shaders are written: a file with no
 * #version directive that defines it, and no main of its own. */
static int is_main_image(const char *text)
{
    return !has_version(text) && defines(text, "mainImage") && !defines(text, "main");
}

/* mainCubemap(out vec4 fragColor, in vec2 fragCoord, in vec3 rayOri, in vec3 rayDir), Shadertoy's Cube A
 * pass: drawn once per face of a cube map. */
static int is_main_cubemap(const char *text)
{
    return !has_version(text) && defines(text, "mainCubemap") && !defines(text, "main");
}

/* Where text defines "vec2 mainSound (", the first word of its parameters; NULL when it does not. */
static const char *sound_parameters(const char *text)
{
    for (const char *p = strstr(text, "mainSound"); p != NULL; p = strstr(p + 9, "mainSound")) {
        const char *before = p, *after = p + 9;
        while (before > text && is_space(before[-1]))
            before--;
        while (is_space(*after))
            after++;
        if (*after != '(' || before - text < 4 || strncmp(before - 4, "vec2", 4) != 0 || (p > text && is_name(p[-1])))
            continue;
        after++;
        while (is_space(*after) || (strncmp(after, "in", 2) == 0 && is_space(after[2])) ||
               (strncmp(after, "highp", 5) == 0 && is_space(after[5])))
            after += is_space(*after) ? 1 : strncmp(after, "in", 2) == 0 ? 2 : 5;
        return after;
    }
    return NULL;
}

/* vec2 mainSound(int samp, float time), Shadertoy's Sound pass: drawn into blocks of samples. */
static int is_main_sound(const char *text)
{
    const char *parameters = !has_version(text) && !defines(text, "main") ? sound_parameters(text) : NULL;
    return parameters != NULL && strncmp(parameters, "int", 3) == 0 && !is_name(parameters[3]);
}

/* vec2 mainSound(float time), as older Sound passes are written. */
static int is_main_sound_of_time(const char *text)
{
    return !has_version(text) && !defines(text, "main") && sound_parameters(text) != NULL && !is_main_sound(text);
}

/* The Book of Shaders' style (glslCanvas, glslViewer): GLSL ES with a main that declares u_ inputs. */
static int is_book(const char *text)
{
    return !has_version(text) && defines(text, "main") &&
           declares(text, "uniform", "u_time u_resolution u_mouse u_delta u_date u_frame u_tex0 u_tex1 u_tex2 u_tex3");
}

/* GLSL Sandbox: GLSL ES with a main that declares the site's inputs. */
static int is_sandbox(const char *text)
{
    return !has_version(text) && defines(text, "main") &&
           (declares(text, "uniform", "time resolution mouse backbuffer surfaceSize") ||
            declares(text, "varying", "surfacePosition"));
}

/* What a GLSL ES 1.00 text needs in a 3.3 core context, before its inputs; and, after the text, a main
 * that gives the varyings the prelude knows their values and calls the text's own. */
#define ES_HEAD                                                                                         \
    "out vec4 quillomarColour;\n"                                                                      \
    "#define gl_FragColor quillomarColour\n"                                                           \
    "#define texture2D texture\n"                                                                      \
    "#define texture2DProj textureProj\n"                                                              \
    "#define texture2DLod textureLod\n"                                                                \
    "#define textureCube texture\n"                                                                    \
    "#define varying\n"
#define ES_TAIL "#define main quillomar_main\n"
#define ES_AFTER "\n#undef main\nvoid main()\n{\n%s    quillomar_main();\n}\n"

#define WORD_OF(number) #number
#define WORD(number) WORD_OF(number)
#define SOUND_AFTER(arguments)                                                                         \
    "\nvoid main()\n"                                                                                   \
    "{\n"                                                                                               \
    "    int quillomar_n = quillomar_sample + int(gl_FragCoord.y) * " WORD(SOUND_BLOCK) " + int(gl_FragCoord.x);\n" \
    "    quillomarColour = vec4(mainSound(" arguments "), 0.0, 1.0);\n"                                  \
    "}\n%s"

static const char *const BOOK_VARYINGS[] = {"v_texcoord=gl_FragCoord.xy / quillomar_viewport", NULL};
static const char *const SANDBOX_VARYINGS[] = {
    "surfacePosition=(gl_FragCoord.xy / quillomar_viewport - 0.5) * vec2(quillomar_viewport.x / "
    "quillomar_viewport.y, 1.0)",
    NULL};

static const struct dialect DIALECTS[] = {
    {DIALECT_MAINIMAGE, "mainImage", is_main_image,
     "out vec4 quillomarColour;\n",
     "#define iGlobalTime iTime\n"
     "#define texture2D texture\n"
     "void mainImage(out vec4 fragColor, in vec2 fragCoord);\n"
     "void main()\n"
     "{\n"
     "    mainImage(quillomarColour, gl_FragCoord.xy);\n"
     "}\n",
     "", NULL},
    /* Face f's pixels look along the direction that a texture read of the cube map takes to them. */
    {DIALECT_CUBEMAP, "mainCubemap", is_main_cubemap,
     "out vec4 quillomarColour;\n",
     "#define iGlobalTime iTime\n"
     "#define texture2D texture\n"
     "void mainCubemap(out vec4 fragColor, in vec2 fragCoord, in vec3 rayOri, in vec3 rayDir);\n"
     "void main()\n"
     "{\n"
     "    vec2 p = gl_FragCoord.xy / quillomar_viewport * 2.0 - 1.0;\n"
     "    vec3 faces[6] = vec3[6](vec3(1.0, -p.y, -p.x), vec3(-1.0, -p.y, p.x), vec3(p.x, 1.0, p.y),\n"
     "                            vec3(p.x, -1.0, -p.y), vec3(p.x, -p.y, 1.0), vec3(-p.x, -p.y, -1.0));\n"
     "    mainCubemap(quillomarColour, gl_FragCoord.xy, vec3(0.0), normalize(faces[quillomar_face]));\n"
     "}\n",
     "", NULL},
    /* Pixel (x, y) of a block of SOUND_BLOCK x SOUND_BLOCK samples from quillomar_sample: its red and green
     * are the left and right sample. */
    {DIALECT_SOUND, "mainSound", is_main_sound, "out vec4 quillomarColour;\n", "#define texture2D texture\n",
     SOUND_AFTER("quillomar_n, float(quillomar_n) / iSampleRate"), NULL},
    {DIALECT_SOUND, "mainSound of time", is_main_sound_of_time, "out vec4 quillomarColour;\n",
     "#define texture2D texture\n", SOUND_AFTER("float(quillomar_n) / iSampleRate"), NULL},
    {DIALECT_BOOK, "Book of Shaders", is_book, ES_HEAD, ES_TAIL, ES_AFTER, BOOK_VARYINGS},
    {DIALECT_SANDBOX, "GLSL Sandbox", is_sandbox, ES_HEAD, ES_TAIL, ES_AFTER, SANDBOX_VARYINGS},
};

const char *dialect_name(size_t i)
{
    return i < sizeof DIALECTS / sizeof DIALECTS[0] ? DIALECTS[i].name : NULL;
}

const char *const DIRECTIVES[] = {"iChannel0", "iChannel1", "iChannel2", "iChannel3", "iKeyboard", "iPasses", "iSound",
                                   TUNED_DIRECTIVE};
const size_t DIRECTIVE_COUNT = sizeof DIRECTIVES / sizeof DIRECTIVES[0];

/* Whether line (up to its newline) is the directive "#NAME". */
static int is_directive(const char *line, const char *name)
{
    while (*line != '\n' && is_space(*line))
        line++;
    if (*line++ != '#')
        return 0;
    while (*line != '\n' && is_space(*line))
        line++;
    return strncmp(line, name, strlen(name)) == 0 && !is_name(line[strlen(name)]);
}

/* The dialect a line (up to its newline) names as #iDialect "NAME", a row's name; NULL for any other line,
 * and for a name no row has (that line is left to the GL, which refuses it at its own line). */
static const struct dialect *named_by(const char *line)
{
    if (!is_directive(line, DIALECT_DIRECTIVE))
        return NULL;
    const char *open = strchr(line, '"');
    const char *newline = strchr(line, '\n');
    const char *close = open != NULL ? strchr(open + 1, '"') : NULL;
    if (close == NULL || (newline != NULL && close > newline))
        return NULL;
    for (size_t i = 0; i < sizeof DIALECTS / sizeof DIALECTS[0]; i++)
        if (strlen(DIALECTS[i].name) == (size_t)(close - open - 1) &&
            strncmp(DIALECTS[i].name, open + 1, (size_t)(close - open - 1)) == 0)
            return &DIALECTS[i];
    return NULL;
}

const struct dialect *dialect_of(const char *text)
{
    if (strncmp(text, "\xef\xbb\xbf", 3) == 0)
        text += 3;
    /* A pass says what it is where its text alone would not (a pass of Shadertoy's JSON is mainImage by
     * where it came from, whatever else it holds); else its text is recognised. */
    for (const char *line = text; line != NULL; line = strchr(line, '\n') ? strchr(line, '\n') + 1 : NULL)
        if (named_by(line) != NULL)
            return named_by(line);
    for (size_t i = 0; i < sizeof DIALECTS / sizeof DIALECTS[0]; i++)
        if (DIALECTS[i].recognise(text))
            return &DIALECTS[i];
    return NULL;
}

static void text_put(struct text *t, const char *data)
{
    text_add(t, data, strlen(data));
}

/* Whether line (up to its newline) holds nothing after its directive's name but blanks or a comment. */
static int only_directive(const char *line)
{
    const char *p = strchr(line, '#') + 1;
    while (is_space(*p) && *p != '\n')
        p++;
    while (is_name(*p))
        p++;
    while (*p != '\n' && *p != '\0' && is_space(*p))
        p++;
    return *p == '\n' || *p == '\0' || strncmp(p, "//", 2) == 0 || strncmp(p, "/*", 2) == 0;
}

/* Whether line (up to its newline) is one of DIRECTIVES. */
static int ours(const char *line)
{
    for (size_t i = 0; i < DIRECTIVE_COUNT; i++)
        if (is_directive(line, DIRECTIVES[i]))
            return 1;
    return 0;
}

/* The name a line "varying TYPE NAME;" declares, if it is one of varyings: its index, else -1. */
static int known_varying(const char *line, const char *const *varyings)
{
    for (int i = 0; varyings != NULL && varyings[i] != NULL; i++) {
        size_t n = strcspn(varyings[i], "=");
        char name[64];
        snprintf(name, sizeof name, "%.*s", (int)n, varyings[i]);
        size_t length = strcspn(line, "\n");
        char copy[256];
        snprintf(copy, sizeof copy, "%.*s", (int)(length < sizeof copy - 1 ? length : sizeof copy - 1), line);
        if (declares(copy, "varying", name))
            return i;
    }
    return -1;
}

/* What #iKeyboard gives a shader, as the editor extension has it: iKeyboard (rows of keys down, pressed
 * and toggled, as the site's keyboard texture, and released in this frame), functions that read it, and
 * the keys' codes by name. */
static void keyboard_functions(struct text *t)
{
    static const char *const ROWS[KEY_ROWS] = {"isKeyDown", "isKeyPressed", "isKeyToggled", "isKeyReleased"};
    text_put(t, "uniform sampler2D iKeyboard;\n");
    for (int row = 0; row < KEY_ROWS; row++)
        text_addf(t, "bool %s(int key) { return texelFetch(iKeyboard, ivec2(key, %d), 0).r > 0.5; }\n", ROWS[row], row);
    char name[16];
    for (size_t i = 0; key_named(i, name) >= 0; i++)
        text_addf(t, "const int Key_%s = %d;\n", name, key_named(i, name));
}

/* The message about the last text's first malformed directive; "" when there was none. */
static char directive_error[512];
/* Where the text being translated hands its #iUniform directives (dialect_text's caller's; NULL: nowhere). */
static int (*declaring)(const struct tuned_uniform *u);

const char *dialect_error(void)
{
    return directive_error[0] != '\0' ? directive_error : NULL;
}

/* An #iUniform directive's line (up to its newline), line number (as the GL numbers the text's lines) of
 * text: its uniform handed to the caller's declaring, and what the GL gets in its place put in body: the uniform's declaration,
 * a blank line when the text declares it itself with that type, or an #error for a malformed directive or
 * one the text declares with another type, said in directive_error as the GL's messages are. */
static void tuned_line(const char *line, int number, const char *text, struct text *body)
{
    struct tuned_uniform u;
    int column = 0;
    const char *why = NULL;
    char type[80];
    if (tuned_parse(line, &u, &column, &why) < 0) {
        if (directive_error[0] == '\0')
            snprintf(directive_error, sizeof directive_error, "0:%d:%d: error: #" TUNED_DIRECTIVE ": %s\n", number,
                     column, why);
        text_addf(body, "#error #" TUNED_DIRECTIVE ": %s", why);
    } else if (declaring != NULL && declaring(&u) < 0) {
        if (directive_error[0] == '\0')
            snprintf(directive_error, sizeof directive_error, "0:%d:1: error: #" TUNED_DIRECTIVE
                     ": more than %d uniforms\n", number, MOST_TUNED);
        text_addf(body, "#error #" TUNED_DIRECTIVE ": more than %d uniforms", MOST_TUNED);
    } else if (!declared_type(text, u.name, type, sizeof type)) {
        text_addf(body, "uniform %s %s;", tuned_glsl(u.type), u.name);
    } else if (strcmp(type, tuned_glsl(u.type)) != 0) {
        /* The text's own declaration is what the GL sets: the directive's value would never reach it. */
        const char *at = strstr(line, TUNED_DIRECTIVE) + strlen(TUNED_DIRECTIVE);
        size_t n = strlen(u.name);
        while (strncmp(at, u.name, n) != 0 || is_name(at[-1]) || is_name(at[n]))
            at++;
        column = (int)(at - line) + 1;
        if (directive_error[0] == '\0')
            snprintf(directive_error, sizeof directive_error, "0:%d:%d: error: #" TUNED_DIRECTIVE
                     ": the shader declares %s itself as a %s, not a %s\n", number, column, u.name, type,
                     tuned_glsl(u.type));
        text_addf(body, "#error #" TUNED_DIRECTIVE ": %s is declared as a %s", u.name, type);
    }
}

/* A line (of length bytes, its newline included) of text, number numbered, put into body where it is a #line
 * (an included file's lines are numbered from there on, text/includes.h) or an #iUniform directive (its
 * declaration in its place): 1 then, else 0 and nothing put. */
static int numbered_line(const char *line, size_t length, int *number, const char *text, struct text *body)
{
    if (is_directive(line, "line")) {
        text_add(body, line, length);
        *number = atoi(line + strspn(line, " \t#") + 4) - 1;
        return 1;
    }
    if (is_directive(line, TUNED_DIRECTIVE)) {
        tuned_line(line, *number, text, body);
        text_put(body, line[length - 1] == '\n' ? "\n" : "");
        return 1;
    }
    return 0;
}

/* A text of no dialect (its own #version and main) as it is, but for its #iUniform lines, each the
 * uniform's declaration in its place, so that its lines keep their numbers; NULL when it has none. */
static char *tuned_only(const char *text)
{
    struct text body = {0};
    int any = 0, number = 1;
    for (const char *line = text; *line != '\0'; number++) {
        const char *newline = strchr(line, '\n');
        size_t length = newline != NULL ? (size_t)(newline - line) + 1 : strlen(line);
        any |= is_directive(line, TUNED_DIRECTIVE);
        if (!numbered_line(line, length, &number, text, &body))
            text_add(&body, line, length);
        line += length;
    }
    if (!any)
        free(body.data);
    return any ? body.data : NULL;
}

char *dialect_text(const struct source *source, struct files *files, int (*declare)(const struct tuned_uniform *u))
{
    directive_error[0] = '\0';
    declaring = declare;
    const char *own = source->text;
    /* A byte order mark, as some editors begin a UTF-8 file with, would stand after the prelude. The
     * dialect is the text's own, or else the text's with what it includes: Common's macros may write a
     * pass's mainImage (and a Sound pass that includes such a Common is still a Sound pass). */
    const char *start = strncmp(own, "\xef\xbb\xbf", 3) == 0 ? own + 3 : own;
    struct source started = *source;
    started.text = start;
    char *expanded = includes_expand(&started, files);
    const char *text = expanded != NULL ? expanded : start;
    const struct dialect *dialect = dialect_of(start);
    dialect = dialect != NULL ? dialect : dialect_of(text);
    if (dialect == NULL) {
        char *tuned = tuned_only(text);
        if (tuned == NULL)
            return expanded;
        free(expanded);
        return tuned;
    }
    /* The text's #extension lines go before the prelude (as the GL wants them before any declaration),
     * but for those the desktop GL has in its core; the varyings the prelude knows are its own. Their
     * lines stay, empty, so that the text's line numbers hold. */
    struct text extensions = {0}, body = {0}, assignments = {0}, varyings = {0};
    int keyboard = 0, number = 1;
    for (const char *line = text; *line != '\0'; number++) {
        const char *newline = strchr(line, '\n');
        size_t length = newline != NULL ? (size_t)(newline - line) + 1 : strlen(line);
        int varying = is_directive(line, "extension") ? -1 : known_varying(line, dialect->varyings);
        if (numbered_line(line, length, &number, text, &body)) {
            /* in body, its number kept */
        } else if (is_directive(line, "extension")) {
            if (strstr(line, "GL_OES_standard_derivatives") == NULL ||
                strstr(line, "GL_OES_standard_derivatives") > line + length)
                text_add(&extensions, line, length);
            text_put(&body, newline != NULL ? "\n" : "");
        } else if (varying >= 0) {
            const char *value = dialect->varyings[varying];
            size_t n = strcspn(value, "=");
            char declaration[128];
            snprintf(declaration, sizeof declaration, "vec2 %.*s;\n", (int)n, value);
            text_put(&varyings, declaration);
            text_put(&assignments, "    ");
            text_add(&assignments, value, n);
            text_put(&assignments, " = ");
            text_put(&assignments, value + n + 1);
            text_put(&assignments, ";\n");
            text_put(&body, newline != NULL ? "\n" : "");
        } else if (ours(line) || named_by(line) != NULL) {
            keyboard |= is_directive(line, "iKeyboard");
            /* The passes' directives (#iChannel0 "file://a.png", #iDialect "mainImage") are ours, not the GL's. */
            text_put(&body, newline != NULL ? "\n" : "");
        } else if ((is_directive(line, "endif") || is_directive(line, "else")) && !only_directive(line)) {
            /* WebGL's preprocessor lets words follow #endif and #else; the desktop GL's does not. */
            text_put(&body, is_directive(line, "endif") ? "#endif" : "#else");
            text_put(&body, newline != NULL ? "\n" : "");
        } else {
            text_add(&body, line, length);
        }
        line += length;
    }
    if (extensions.used > 0 && extensions.data[extensions.used - 1] != '\n')
        text_put(&extensions, "\n");
    char *declarations = inputs_declarations(dialect->id, source->samplers);
    struct text whole = {0};
    text_put(&whole, "#version 330 core\n");
    text_put(&whole, extensions.data != NULL ? extensions.data : "");
    text_put(&whole, dialect->head);
    text_put(&whole, declarations);
    text_put(&whole, varyings.data != NULL ? varyings.data : "");
    if (keyboard)
        keyboard_functions(&whole);
    text_put(&whole, dialect->tail);
    text_put(&whole, "#line 1\n");
    text_put(&whole, body.data != NULL ? body.data : "");
    char after[4096];
    snprintf(after, sizeof after, dialect->after, assignments.data != NULL ? assignments.data : "");
    text_put(&whole, after);
    free(declarations);
    free(expanded);
    free(extensions.data);
    free(body.data);
    free(assignments.data);
    free(varyings.data);
    return whole.data;
}
