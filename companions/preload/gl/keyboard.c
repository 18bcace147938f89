/* The keys' state and #iKeyboard's texture (keyboard.h). */
#include "gl/keyboard.h"

#include "gl/units.h"

struct keys keyboard = {.serial = 1};
static int wanted;

void keyboard_key(int key, int down)
{
    if (key < 0 || key >= KEY_CODES || (keyboard.rows[0][key] != 0) == (down != 0))
        return;
    keyboard.rows[0][key] = down ? 255 : 0;
    if (down) {
        keyboard.rows[1][key] = 255;
        keyboard.rows[2][key] = keyboard.rows[2][key] ? 0 : 255;
    } else {
        keyboard.rows[3][key] = 255;
    }
    keyboard.serial++;
}

void keyboard_frame_done(void)
{
    for (int k = 0; k < KEY_CODES; k++) {
        keyboard.serial += keyboard.rows[1][k] != 0 || keyboard.rows[3][k] != 0;
        keyboard.rows[1][k] = keyboard.rows[3][k] = 0;
    }
}

void keyboard_wanted(int yes)
{
    wanted = yes;
}

int keyboard_read(void)
{
    return wanted;
}

void keyboard_bind(struct frame *frame)
{
    static struct {
        PFNGLACTIVETEXTUREPROC active_texture;
        PFNGLGENTEXTURESPROC gen_textures;
        PFNGLBINDTEXTUREPROC bind_texture;
        PFNGLTEXIMAGE2DPROC tex_image;
        PFNGLTEXSUBIMAGE2DPROC tex_sub_image;
        PFNGLTEXPARAMETERIPROC tex_parameter;
    } gl;
    static GLuint texture;
    static long uploaded = -1;
    frame->keyboard_unit = KEYBOARD_UNIT;
    if (!wanted)
        return;
    if (gl.active_texture == NULL) {
        GL_ENTRY(glActiveTexture, gl.active_texture);
        GL_ENTRY(glGenTextures, gl.gen_textures);
        GL_ENTRY(glBindTexture, gl.bind_texture);
        GL_ENTRY(glTexImage2D, gl.tex_image);
        GL_ENTRY(glTexSubImage2D, gl.tex_sub_image);
        GL_ENTRY(glTexParameteri, gl.tex_parameter);
    }
    gl.active_texture(GL_TEXTURE0 + KEYBOARD_UNIT);
    if (texture == 0) {
        gl.gen_textures(1, &texture);
        gl.bind_texture(GL_TEXTURE_2D, texture);
        gl.tex_image(GL_TEXTURE_2D, 0, GL_R8, KEY_CODES, KEY_ROWS, 0, GL_RED, GL_UNSIGNED_BYTE, keyboard.rows);
        gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    }
    gl.bind_texture(GL_TEXTURE_2D, texture);
    /* Once a frame: what the keys are in this frame. */
    if (uploaded != keyboard.serial) {
        gl.tex_sub_image(GL_TEXTURE_2D, 0, 0, 0, KEY_CODES, KEY_ROWS, GL_RED, GL_UNSIGNED_BYTE, keyboard.rows);
        uploaded = keyboard.serial;
    }
    gl.active_texture(GL_TEXTURE0);
}

int keyboard_code(int key)
{
    /* Letters, digits and space are the same in both. */
    static const struct {
        int glfw, browser;
    } CODES[] = {
        {GLFW_KEY_ENTER, 13},       {GLFW_KEY_TAB, 9},         {GLFW_KEY_BACKSPACE, 8},   {GLFW_KEY_INSERT, 45},
        {GLFW_KEY_DELETE, 46},      {GLFW_KEY_RIGHT, 39},      {GLFW_KEY_LEFT, 37},       {GLFW_KEY_DOWN, 40},
        {GLFW_KEY_UP, 38},          {GLFW_KEY_PAGE_UP, 33},    {GLFW_KEY_PAGE_DOWN, 34},  {GLFW_KEY_HOME, 36},
        {GLFW_KEY_END, 35},         {GLFW_KEY_CAPS_LOCK, 20},  {GLFW_KEY_LEFT_SHIFT, 16}, {GLFW_KEY_RIGHT_SHIFT, 16},
        {GLFW_KEY_LEFT_CONTROL, 17}, {GLFW_KEY_RIGHT_CONTROL, 17}, {GLFW_KEY_LEFT_ALT, 18}, {GLFW_KEY_RIGHT_ALT, 18},
        {GLFW_KEY_SEMICOLON, 186},  {GLFW_KEY_EQUAL, 187},     {GLFW_KEY_COMMA, 188},     {GLFW_KEY_MINUS, 189},
        {GLFW_KEY_PERIOD, 190},     {GLFW_KEY_SLASH, 191},     {GLFW_KEY_GRAVE_ACCENT, 192},
        {GLFW_KEY_LEFT_BRACKET, 219}, {GLFW_KEY_BACKSLASH, 220}, {GLFW_KEY_RIGHT_BRACKET, 221},
        {GLFW_KEY_APOSTROPHE, 222},
    };
    if (key == GLFW_KEY_SPACE || (key >= GLFW_KEY_0 && key <= GLFW_KEY_9) || (key >= GLFW_KEY_A && key <= GLFW_KEY_Z))
        return key;
    if (key >= GLFW_KEY_F1 && key <= GLFW_KEY_F12)
        return 112 + key - GLFW_KEY_F1;
    if (key >= GLFW_KEY_KP_0 && key <= GLFW_KEY_KP_9)
        return 96 + key - GLFW_KEY_KP_0;
    for (size_t i = 0; i < sizeof CODES / sizeof CODES[0]; i++)
        if (CODES[i].glfw == key)
            return CODES[i].browser;
    return -1;
}
