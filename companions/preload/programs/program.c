#include "programs/program.h"

#include "text/dialects.h"

struct viewer_shaders viewer;

static struct {
    PFNGLCOMPILESHADERPROC compile_shader;
    PFNGLLINKPROGRAMPROC link_program;
    PFNGLGETSHADERIVPROC get_shaderiv;
    PFNGLGETSHADERINFOLOGPROC shader_log;
    PFNGLGETPROGRAMIVPROC get_programiv;
    PFNGLGETPROGRAMINFOLOGPROC program_log;
    PFNGLCREATEPROGRAMPROC create_program;
    PFNGLATTACHSHADERPROC attach_shader;
    PFNGLDELETESHADERPROC delete_shader;
    PFNGLDELETEPROGRAMPROC delete_program;
    PFNGLCREATESHADERPROC create_shader;
    PFNGLSHADERSOURCEPROC shader_source;
} gl;

static void load_gl(void)
{
    if (gl.compile_shader != NULL)
        return;
    GL_ENTRY(glCompileShader, gl.compile_shader);
    GL_ENTRY(glLinkProgram, gl.link_program);
    GL_ENTRY(glGetShaderiv, gl.get_shaderiv);
    GL_ENTRY(glGetShaderInfoLog, gl.shader_log);
    GL_ENTRY(glGetProgramiv, gl.get_programiv);
    GL_ENTRY(glGetProgramInfoLog, gl.program_log);
    GL_ENTRY(glCreateProgram, gl.create_program);
    GL_ENTRY(glAttachShader, gl.attach_shader);
    GL_ENTRY(glDeleteShader, gl.delete_shader);
    GL_ENTRY(glDeleteProgram, gl.delete_program);
    GL_ENTRY(glCreateShader, gl.create_shader);
    GL_ENTRY(glShaderSource, gl.shader_source);
}

static char *joined(GLsizei count, const GLchar *const *strings)
{
    size_t size = 1;
    for (GLsizei i = 0; i < count; i++)
        size += strlen(strings[i]);
    char *text = preload_alloc(size), *end = text;
    *end = '\0';
    for (GLsizei i = 0; i < count; i++)
        end = stpcpy(end, strings[i]);
    return text;
}

/* Hands source to the GL for shader as its dialect has it; files gets what it is made of. Says what was
 * wrong with its directives (NULL: nothing; the caller frees it). */
static char *source_as_dialect(GLuint shader, const struct source *source, struct files *files)
{
    char *whole = dialect_text(source, files, tuned_declare);
    const GLchar *given = whole != NULL ? whole : source->text;
    load_gl();
    gl.shader_source(shader, 1, &given, NULL);
    free(whole);
    return dialect_error() != NULL ? strdup(dialect_error()) : NULL;
}

void program_viewer_shader(GLenum type, GLuint shader)
{
    if (type == GL_VERTEX_SHADER && viewer.vertex == 0)
        viewer.vertex = shader;
    else if (type == GL_FRAGMENT_SHADER && viewer.fragment == 0)
        viewer.fragment = shader;
}

void program_viewer_vertex(GLsizei count, const GLchar *const *strings)
{
    viewer.vertex_text = joined(count, strings);
}

void program_viewer_fragment(GLsizei count, const GLchar *const *strings, const struct source *as)
{
    viewer.fragment_text = joined(count, strings);
    struct source own = *as;
    own.text = viewer.fragment_text;
    viewer.directive_error = source_as_dialect(viewer.fragment, &own, &viewer.files);
}

char *gl_log(GLuint object, int is_program)
{
    load_gl();
    GLint size = 0;
    if (is_program)
        gl.get_programiv(object, GL_INFO_LOG_LENGTH, &size);
    else
        gl.get_shaderiv(object, GL_INFO_LOG_LENGTH, &size);
    char *log = preload_alloc(size > 0 ? (size_t)size + 1 : 1);
    log[0] = '\0';
    if (size > 0 && is_program)
        gl.program_log(object, size, NULL, log);
    else if (size > 0)
        gl.shader_log(object, size, NULL, log);
    return log;
}

static struct build outcome(GLuint fragment, GLuint program, long long started)
{
    load_gl();
    struct build b = {.program = program};
    gl.get_shaderiv(fragment, GL_COMPILE_STATUS, &b.compiled);
    gl.get_programiv(program, GL_LINK_STATUS, &b.linked);
    b.ms = (double)(preload_now_ns() - started) / 1e6;
    /* A text that builds may have warnings; one that compiles and does not link has the program's word. */
    b.log = gl_log(b.compiled && !b.linked ? program : fragment, b.compiled && !b.linked);
    return b;
}

struct build program_outcome(GLuint fragment, GLuint program, long long started)
{
    struct build b = outcome(fragment, program, started);
    b.files = files_copy(&viewer.files);
    if (fragment == viewer.fragment && viewer.directive_error != NULL) {
        free(b.log);
        b.log = strdup(viewer.directive_error);
    }
    return b;
}

void build_free(struct build *b)
{
    free(b->log);
    b->log = NULL;
    files_free(&b->files);
}

struct build program_build(const struct source *source)
{
    load_gl();
    long long started = preload_now_ns();
    GLuint vertex = gl.create_shader(GL_VERTEX_SHADER);
    const GLchar *vertex_text = viewer.vertex_text;
    gl.shader_source(vertex, 1, &vertex_text, NULL);
    gl.compile_shader(vertex);
    GLuint fragment = gl.create_shader(GL_FRAGMENT_SHADER);
    struct files files;
    char *directive_error = source_as_dialect(fragment, source, &files);
    gl.compile_shader(fragment);
    GLuint program = gl.create_program();
    gl.attach_shader(program, vertex);
    gl.attach_shader(program, fragment);
    gl.link_program(program);
    gl.delete_shader(vertex);
    struct build b = outcome(fragment, program, started);
    b.files = files;
    if (directive_error != NULL) {
        /* The directive's message alone: what the GL says of the #error in its place adds nothing. */
        free(b.log);
        b.log = directive_error;
    }
    gl.delete_shader(fragment);
    if (!b.linked) {
        gl.delete_program(program);
        b.program = 0;
    }
    return b;
}
