#version 330 core
// A fractal written in the common mainImage style: a Julia set whose constant circles slowly, so the
// set keeps changing shape. The shader below the prelude is unchanged; the prelude (the same as in
// docs/web-shaders.md) maps iResolution, fragCoord and iTime onto this viewer's inputs.

// Prelude: mainImage-style shaders on Quillomar.
in vec2 coord;
out vec4 quillomarColour;
uniform float width;
uniform float height;
uniform float iTime;
#define iResolution vec3(width, height, 1.0)
void mainImage(out vec4 fragColor, in vec2 fragCoord);
void main()
{
    mainImage(quillomarColour, (coord * 0.5 + 0.5) * iResolution.xy);
}
// End of the prelude.

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 z = 1.4 * (2.0 * fragCoord - iResolution.xy) / iResolution.y;
    float a = 2.6 + 0.35 * sin(0.25 * iTime);
    vec2 c = 0.7885 * vec2(cos(a), sin(a));
    float n = 0.0;
    const float limit = 160.0;
    for (float i = 0.0; i < limit; i += 1.0) {
        z = vec2(z.x * z.x - z.y * z.y, 2.0 * z.x * z.y) + c;
        if (dot(z, z) > 256.0)
            break;
        n += 1.0;
    }
    // Smooth the iteration count so the bands blend into each other.
    float smoothN = n < limit ? n - log2(log2(dot(z, z))) + 4.0 : 0.0;
    float v = pow(smoothN / limit, 0.45);
    vec3 colour = 0.5 + 0.5 * cos(3.5 + v * 9.0 + vec3(0.0, 0.7, 1.3));
    fragColor = vec4(n < limit ? colour * (0.15 + 0.85 * v) : vec3(0.03, 0.02, 0.06), 1.0);
}
