// live's overlay (overlay.h): Dear ImGui, its GLFW and OpenGL 3 backends, fed the window's events by
// live.c rather than by callbacks of its own, so that live's keys and mouse stay as they are.
extern "C" {
#include "gl/timing.h"
#include "live/clock.h"
#include "live/probe.h"
#include "live/overlay.h"
#include "passes/passes.h"
#include "text/tuned.h"
}

#include <math.h>

#include <imgui.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>

namespace {

// made: ImGui set up once; usable: its OpenGL 3 backend found the GL (its loader opens libGL.so.1).
bool shown, made, usable;
// The frame times of the last OVERLAY_FRAMES frames, swap to swap, in milliseconds: next is the oldest.
float frame_ms[OVERLAY_FRAMES];
int next, kept;
long long last_swap;
// The loop range the timeline shows, in seconds, and whether it is on.
bool looping;
float loop_range[2] = {0.0f, 10.0f};

PFNGLGETINTEGERVPROC get_integerv;
PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;

const char *pass_name(int p)
{
    const char *path = passes_path(p);
    if (path == nullptr)
        return p + 1 == passes_count() ? "Image" : "pass";
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

double mean_frame_ms()
{
    double sum = 0;
    for (int i = 0; i < kept; i++)
        sum += frame_ms[i];
    return kept > 0 ? sum / kept : 0.0;
}

// Says it is shown, or hidden with what it read: the mean frame time, the pixel probe's pixel and colour
// ("-": none), and the GPU's times, a line each, "MS\tPATH" (MS "-": none read).
void say(bool now_shown)
{
    char ms[32];
    snprintf(ms, sizeof ms, "%.3f", mean_frame_ms());
    struct text gpu = {};
    for (int p = 0; !now_shown && p < passes_count(); p++) {
        double t = timing_ms(p);
        if (t < 0)
            text_add(&gpu, "-", 1);
        else
            text_addf(&gpu, "%.3f", t);
        text_add(&gpu, "\t", 1);
        path_escape(&gpu, passes_path(p) != nullptr ? passes_path(p) : "");
        text_add(&gpu, "\n", 1);
    }
    // The pixel probe's newest value, and its pixel.
    float rgba[4];
    int x, y;
    char pixel[48] = "-", colour[96] = "-";
    if (!now_shown && probe_value(rgba, &x, &y)) {
        snprintf(pixel, sizeof pixel, "%d,%d", x, y);
        snprintf(colour, sizeof colour, "%.4f,%.4f,%.4f,%.4f", rgba[0], rgba[1], rgba[2], rgba[3]);
    }
    const struct field fields[] = {FIELD("shown", now_shown ? "1" : "0"), FIELD("frame_ms", ms),
                                   FIELD("pixel", pixel), FIELD("colour", colour),
                                   PAYLOAD("gpu", gpu.data, gpu.used)};
    record_write(STDERR_FILENO, "overlay", fields, 5);
    free(gpu.data);
}

void timeline(const struct overlay_view *view)
{
    ImGui::Text("iTime %.3f s   iFrame %.0f", view->itime, view->frame);
    bool paused = clock_paused();
    if (ImGui::Button(paused ? "Play" : "Pause", ImVec2(50.0f, 0.0f))) // one width: the buttons stay put
        clock_pause(!paused);
    ImGui::SameLine();
    if (ImGui::Button("<"))
        clock_step(-1);
    ImGui::SameLine();
    if (ImGui::Button(">"))
        clock_step(1);
    ImGui::SameLine();
    ImGui::TextUnformatted("one frame (1/60 s)");
    float t = (float)view->itime, end = 60.0f * ((float)(int)(view->itime / 60.0) + 1.0f);
    if (ImGui::SliderFloat("iTime", &t, 0.0f, end, "%.3f s"))
        clock_set((long long)((double)t * 1e9));
    float speed = (float)clock_speed();
    if (ImGui::SliderFloat("speed", &speed, 0.0f, 4.0f, "%.2fx"))
        clock_set_speed(speed);
    bool changed = ImGui::Checkbox("loop", &looping);
    ImGui::SameLine();
    changed |= ImGui::DragFloatRange2("##range", &loop_range[0], &loop_range[1], 0.01f, 0.0f, 3600.0f,
                                      "from %.2f s", "to %.2f s");
    if (changed)
        clock_set_loop(looping ? (long long)((double)loop_range[0] * 1e9) : 0,
                       looping ? (long long)((double)loop_range[1] * 1e9) : 0);
}

// The shader's #iUniform values (text/tuned.h), a widget each: a colour picker for a colour, a slider
// within the directive's range (held to its step), else a field to drag. A move sets the value in the
// table, which every pass's program gets from the next frame on.
void tuned()
{
    size_t count = tuned_count();
    if (count == 0)
        return;
    ImGui::Separator();
    ImGui::TextUnformatted("#iUniform");
    for (size_t i = 0; i < count; i++) {
        const struct tuned_uniform *u = tuned_at(i);
        float v[4] = {(float)u->value[0], (float)u->value[1], (float)u->value[2], (float)u->value[3]};
        int whole[4] = {(int)u->value[0], (int)u->value[1], (int)u->value[2], (int)u->value[3]};
        float lo = (float)u->min, hi = (float)u->max, speed = u->step > 0 ? (float)u->step : 0.01f;
        bool moved;
        ImGui::PushID((int)i);
        if (u->type == TUNED_COLOR3)
            moved = ImGui::ColorEdit3(u->name, v);
        else if (u->type == TUNED_COLOR4)
            moved = ImGui::ColorEdit4(u->name, v);
        else if (u->integer && u->ranged)
            moved = ImGui::SliderInt(u->name, whole, (int)lo, (int)hi);
        else if (u->integer)
            moved = ImGui::DragInt(u->name, whole, 1.0f);
        else if (u->ranged)
            moved = ImGui::SliderScalarN(u->name, ImGuiDataType_Float, v, u->components, &lo, &hi, "%.3f");
        else
            moved = ImGui::DragScalarN(u->name, ImGuiDataType_Float, v, u->components, speed, nullptr, nullptr,
                                       "%.3f");
        ImGui::PopID();
        if (!moved)
            continue;
        double value[4];
        for (int c = 0; c < 4; c++) {
            value[c] = u->integer ? (double)whole[c] : (double)v[c];
            if (!u->integer && u->ranged && u->step > 0)
                value[c] = u->min + round((value[c] - u->min) / u->step) * u->step;
        }
        tuned_set(i, value);
    }
}

void contents(const struct overlay_view *view)
{
    ImGui::SetNextWindowPos(ImVec2(10, 10), ImGuiCond_FirstUseEver);
    ImGui::SetNextWindowBgAlpha(0.85f);
    ImGui::Begin("Quillomar (F1)", nullptr, ImGuiWindowFlags_AlwaysAutoResize);
    double ms = kept > 0 ? frame_ms[(next + OVERLAY_FRAMES - 1) % OVERLAY_FRAMES] : 0.0, mean = mean_frame_ms();
    ImGui::Text("%.1f fps   %.2f ms a frame (%.2f ms now)", mean > 0 ? 1000.0 / mean : 0.0, mean, ms);
    ImGui::PlotLines("##frames", frame_ms, kept, kept < OVERLAY_FRAMES ? 0 : next, "frame time, ms", 0.0f,
                     FLT_MAX, ImVec2(OVERLAY_FRAMES * 2.5f, 50.0f));
    ImGui::Separator();
    ImGui::TextUnformatted("GPU time per pass");
    for (int p = 0; p < passes_count(); p++) {
        double gpu = timing_ms(p);
        if (gpu < 0)
            ImGui::Text("  %-24s   -", pass_name(p));
        else
            ImGui::Text("  %-24s %8.3f ms", pass_name(p), gpu);
    }
    if (view->divider > 1)
        ImGui::Text("picture %d x %d, 1/%d of the window (F2)", view->width, view->height, view->divider);
    else
        ImGui::Text("picture %d x %d (F2 divides it)", view->width, view->height);
    ImGui::Separator();
    timeline(view);
    tuned();
    ImGui::Separator();
    float rgba[4];
    int x, y;
    if (probe_value(rgba, &x, &y)) {
        ImGui::ColorButton("##pixel", ImVec4(rgba[0], rgba[1], rgba[2], 1.0f), ImGuiColorEditFlags_NoTooltip);
        ImGui::SameLine();
        ImGui::Text("pixel %d, %d: %.4f %.4f %.4f %.4f", x, y, rgba[0], rgba[1], rgba[2], rgba[3]);
    } else {
        ImGui::TextUnformatted("pixel: the pointer is not over the picture");
    }
    ImGui::End();
}

} // namespace

extern "C" {

int overlay_shown(void)
{
    return shown;
}

void overlay_toggle(GLFWwindow *window)
{
    if (!made) {
        IMGUI_CHECKVERSION();
        ImGui::CreateContext();
        ImGuiIO &io = ImGui::GetIO();
        io.IniFilename = nullptr; // nothing written where the viewer runs
        io.LogFilename = nullptr;
        ImGui::StyleColorsDark();
        ImGui_ImplGlfw_InitForOpenGL(window, false);
        usable = ImGui_ImplOpenGL3_Init("#version 330 core");
        GL_ENTRY(glGetIntegerv, get_integerv);
        GL_ENTRY(glBindFramebuffer, bind_framebuffer);
        made = true;
    }
    if (!usable) {
        const struct field fields[] = {FIELD("shown", "none")};
        record_write(STDERR_FILENO, "overlay", fields, 1);
        return;
    }
    if (shown)
        say(false);
    shown = !shown;
    timing_enable(shown);
    if (!shown)
        probe_stop();
    kept = next = 0;
    last_swap = 0;
    if (shown)
        say(true);
}

void overlay_key(GLFWwindow *window, int key, int scancode, int action, int mods)
{
    if (shown)
        ImGui_ImplGlfw_KeyCallback(window, key, scancode, action, mods);
}

void overlay_button(GLFWwindow *window, int button, int action, int mods)
{
    if (shown)
        ImGui_ImplGlfw_MouseButtonCallback(window, button, action, mods);
}

int overlay_wants_mouse(void)
{
    return shown && ImGui::GetIO().WantCaptureMouse;
}

void overlay_draw(GLFWwindow *window, const struct overlay_view *view)
{
    (void)window;
    if (!shown)
        return;
    timing_frame();
    long long now = preload_real_now();
    if (last_swap != 0) {
        frame_ms[next] = (float)((double)(now - last_swap) / 1e6);
        next = (next + 1) % OVERLAY_FRAMES;
        kept += kept < OVERLAY_FRAMES;
    }
    last_swap = now;
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    ImGui::NewFrame();
    contents(view);
    ImGui::Render();
    // The window's own framebuffer, whatever the passes left bound.
    GLint draw_fb = 0;
    get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &draw_fb);
    bind_framebuffer(GL_DRAW_FRAMEBUFFER, 0);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    bind_framebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)draw_fb);
}

} // extern "C"
