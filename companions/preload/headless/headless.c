/*
 * Preloaded into the viewer after quillomar-record's library for a recording with no display server: the
 * viewer's few GLFW calls get an OpenGL 3.3 core context from EGL instead of a window. The GPU is taken
 * through EGL's device platform where one is there, Mesa's surfaceless platform (its software renderer,
 * or the GPU Mesa drives) otherwise.
 *
 * Settings: QUILLOMAR_RENDERER ("auto", "gpu" or "software"; auto by default) and QUILLOMAR_REPORT_FD,
 * where a "renderer" record says which platform and renderer drew (docs/internals.md).
 *
 * There is no window: its framebuffer has size 0 x 0 (nothing is shown), no key is ever down, and the
 * close flag is the one the viewer and the recording library set. A context that cannot be made gives
 * the viewer no window, so that it says so as it always does.
 */
#include <EGL/egl.h>
#include <EGL/eglext.h>

#include "base/settings.h"
#include "gl/gl.h"

static char *wanted;
static int report_fd = -1;
static EGLDisplay display = EGL_NO_DISPLAY;
static EGLContext context = EGL_NO_CONTEXT;
static const char *platform;
static int major = 1, minor = 0, core, should_close;
/* What the viewer holds as its window: only its address matters. */
static char the_window;

__attribute__((constructor)) static void configure(void)
{
    const struct setting_use settings[] = {
        {"QUILLOMAR_RENDERER", &wanted, NULL},
        {"QUILLOMAR_REPORT_FD", &report_fd, NULL},
    };
    settings_of(settings, sizeof settings / sizeof settings[0]);
    if (wanted == NULL)
        wanted = strdup("auto");
    if (wanted == NULL || (strcmp(wanted, "auto") != 0 && strcmp(wanted, "gpu") != 0 &&
                           strcmp(wanted, "software") != 0))
        preload_fail("QUILLOMAR_RENDERER=%s is not auto, gpu or software", wanted ? wanted : "");
}

/* A GPU of EGL's device platform: one with a DRM device that is not Mesa's software device. */
static EGLDisplay gpu_display(PFNEGLGETPLATFORMDISPLAYEXTPROC platform_display)
{
    PFNEGLQUERYDEVICESEXTPROC query_devices = (PFNEGLQUERYDEVICESEXTPROC)eglGetProcAddress("eglQueryDevicesEXT");
    PFNEGLQUERYDEVICESTRINGEXTPROC device_string =
        (PFNEGLQUERYDEVICESTRINGEXTPROC)eglGetProcAddress("eglQueryDeviceStringEXT");
    EGLDeviceEXT devices[16];
    EGLint count = 0;
    if (query_devices == NULL || device_string == NULL || !query_devices(16, devices, &count))
        return EGL_NO_DISPLAY;
    for (EGLint i = 0; i < count; i++) {
        const char *extensions = device_string(devices[i], EGL_EXTENSIONS);
        if (extensions == NULL || strstr(extensions, "EGL_EXT_device_drm") == NULL ||
            strstr(extensions, "EGL_MESA_device_software") != NULL)
            continue;
        EGLDisplay found = platform_display(EGL_PLATFORM_DEVICE_EXT, devices[i], NULL);
        if (found != EGL_NO_DISPLAY && eglInitialize(found, NULL, NULL))
            return found;
    }
    return EGL_NO_DISPLAY;
}

HOOK int glfwInit(void)
{
    PFNEGLGETPLATFORMDISPLAYEXTPROC platform_display =
        (PFNEGLGETPLATFORMDISPLAYEXTPROC)eglGetProcAddress("eglGetPlatformDisplayEXT");
    if (platform_display == NULL)
        return GLFW_FALSE;
    if (strcmp(wanted, "software") != 0) {
        display = gpu_display(platform_display);
        platform = "device";
    }
    if (display == EGL_NO_DISPLAY && strcmp(wanted, "gpu") != 0) {
        display = platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
        platform = "surfaceless";
        if (display != EGL_NO_DISPLAY && !eglInitialize(display, NULL, NULL))
            display = EGL_NO_DISPLAY;
    }
    return display != EGL_NO_DISPLAY;
}

HOOK void glfwWindowHint(int hint, int value)
{
    if (hint == GLFW_CONTEXT_VERSION_MAJOR)
        major = value;
    else if (hint == GLFW_CONTEXT_VERSION_MINOR)
        minor = value;
    else if (hint == GLFW_OPENGL_PROFILE)
        core = value == GLFW_OPENGL_CORE_PROFILE;
}

HOOK GLFWwindow *glfwCreateWindow(int width, int height, const char *title, GLFWmonitor *monitor, GLFWwindow *share)
{
    (void)width;
    (void)height;
    (void)title;
    (void)monitor;
    (void)share;
    if (display == EGL_NO_DISPLAY || !eglBindAPI(EGL_OPENGL_API))
        return NULL;
    const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, major, EGL_CONTEXT_MINOR_VERSION, minor,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                 core ? EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT : EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT,
                                 EGL_NONE};
    /* No surface at all: the recording library draws into a framebuffer of its own. */
    context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
    if (context == EGL_NO_CONTEXT)
        return NULL;
    return (GLFWwindow *)(void *)&the_window;
}

/* The signature is GLFW's. */
// cppcheck-suppress constParameter
HOOK void glfwMakeContextCurrent(GLFWwindow *window)
{
    if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, window != NULL ? context : EGL_NO_CONTEXT))
        preload_fail("the EGL context cannot be made current (EGL error %#x)", (unsigned)eglGetError());
    if (window == NULL || report_fd < 0)
        return;
    const GLubyte *(*get_string)(GLenum) = (const GLubyte *(*)(GLenum))eglGetProcAddress("glGetString");
    const char *renderer = get_string != NULL ? (const char *)get_string(GL_RENDERER) : NULL;
    if (renderer == NULL)
        renderer = "an unknown renderer";
    const struct field fields[] = {FIELD("platform", platform), PAYLOAD("name", renderer, strlen(renderer))};
    record_write(report_fd, "renderer", fields, 2);
}

HOOK GLFWglproc glfwGetProcAddress(const char *name)
{
    return (GLFWglproc)eglGetProcAddress(name);
}

HOOK GLFWframebuffersizefun glfwSetFramebufferSizeCallback(GLFWwindow *window, GLFWframebuffersizefun callback)
{
    (void)window;
    (void)callback;
    return NULL;
}

HOOK void glfwGetFramebufferSize(GLFWwindow *window, int *width, int *height)
{
    (void)window;
    if (width != NULL)
        *width = 0;
    if (height != NULL)
        *height = 0;
}

HOOK int glfwWindowShouldClose(GLFWwindow *window)
{
    (void)window;
    return should_close;
}

HOOK void glfwSetWindowShouldClose(GLFWwindow *window, int value)
{
    (void)window;
    should_close = value;
}

HOOK int glfwGetKey(GLFWwindow *window, int key)
{
    (void)window;
    (void)key;
    return GLFW_RELEASE;
}

HOOK void glfwSwapBuffers(GLFWwindow *window)
{
    (void)window;
}

HOOK void glfwPollEvents(void)
{
}

HOOK void glfwTerminate(void)
{
    if (display == EGL_NO_DISPLAY)
        return;
    eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context != EGL_NO_CONTEXT)
        eglDestroyContext(display, context);
    eglTerminate(display);
    display = EGL_NO_DISPLAY;
}
