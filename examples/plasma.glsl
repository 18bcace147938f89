#version 330 core
// A plasma: four sine waves (straight, diagonal, and two circular ones from moving centres) added
// together, and the sum read through a colour palette that keeps cycling with iTime.
in vec2 coord;
out vec4 FragColor;

uniform float width;
uniform float height;
uniform float iTime;

void main()
{
    vec2 p = 3.0 * coord * vec2(width / height, 1.0);
    float t = iTime;
    float v = sin(p.x + t);
    v += sin(0.5 * (p.x + p.y) + 0.7 * t);
    v += sin(length(p - vec2(2.0 * sin(0.3 * t), 1.5 * cos(0.4 * t))) * 1.7 - t);
    v += sin(length(p + vec2(1.5 * cos(0.5 * t), 0.0)) * 2.3 + 0.5 * t);
    float phase = v * 0.785398 + 0.3 * t;
    vec3 colour = 0.5 + 0.5 * vec3(sin(phase), sin(phase + 2.094395), sin(phase + 4.188790));
    FragColor = vec4(colour, 1.0);
}
