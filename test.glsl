#version 330 core
// Sample shader: drifting rings of light over a slowly turning colour wash.
// coord runs from -1 to +1 across the window; width, height and iTime are set every frame.
in vec2 coord;
out vec4 FragColor;

uniform float width;
uniform float height;
uniform float iTime;

vec3 palette(float x)
{
    return 0.5 + 0.5 * cos(6.28318 * (x + vec3(0.00, 0.33, 0.67)));
}

void main()
{
    // Square pixels: stretch x by the aspect ratio so circles stay round.
    vec2 p = coord * vec2(width / height, 1.0);
    vec3 colour = vec3(0.0);

    for (int i = 0; i < 4; ++i) {
        float fi = float(i);
        vec2 centre = 0.6 * vec2(cos(iTime * 0.4 + fi * 1.7), sin(iTime * 0.5 + fi * 2.3));
        float d = length(p - centre);
        float ring = abs(sin(d * 9.0 - iTime * 2.0 + fi));
        colour += palette(d * 0.4 + iTime * 0.05 + fi * 0.25) * (0.02 / max(ring, 0.02)) * exp(-d * 1.2);
    }

    colour += 0.15 * palette(0.1 * p.x + 0.1 * p.y + 0.03 * iTime);
    FragColor = vec4(pow(colour / (1.0 + colour), vec3(0.8)), 1.0);
}
