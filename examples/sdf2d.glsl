#version 330 core
// A 2D scene built from signed distance functions: a rounded box, two circles and a capsule,
// blended with a smooth minimum. Outside, the distance shows as contour lines; the shapes
// drift and breathe with iTime.
in vec2 coord;
out vec4 FragColor;

uniform float width;
uniform float height;
uniform float iTime;

float circle(vec2 p, float r)
{
    return length(p) - r;
}

float roundedBox(vec2 p, vec2 half_size, float r)
{
    vec2 q = abs(p) - half_size + r;
    return length(max(q, 0.0)) + min(max(q.x, q.y), 0.0) - r;
}

float capsule(vec2 p, vec2 a, vec2 b, float r)
{
    vec2 pa = p - a, ba = b - a;
    float h = clamp(dot(pa, ba) / dot(ba, ba), 0.0, 1.0);
    return length(pa - ba * h) - r;
}

float smoothMin(float a, float b, float k)
{
    float h = clamp(0.5 + 0.5 * (b - a) / k, 0.0, 1.0);
    return mix(b, a, h) - k * h * (1.0 - h);
}

float scene(vec2 p)
{
    float t = iTime;
    float c = sin(t * 0.7), s = cos(t * 0.7);
    float d = roundedBox(mat2(c, s, -s, c) * (p - vec2(-0.6, 0.0)), vec2(0.35, 0.22), 0.08);
    d = smoothMin(d, circle(p - vec2(0.55 * sin(t * 0.9), 0.35 * cos(t * 1.3)), 0.22 + 0.04 * sin(t * 2.0)), 0.2);
    d = smoothMin(d, circle(p - vec2(0.9, -0.3), 0.18), 0.15);
    d = smoothMin(d, capsule(p, vec2(-0.2, -0.6), vec2(0.6 + 0.2 * sin(t), -0.55), 0.07), 0.12);
    return d;
}

void main()
{
    vec2 p = coord * vec2(width / height, 1.0);
    float d = scene(p);
    float px = 2.0 / height;

    vec3 inside = vec3(0.95, 0.55, 0.25);
    vec3 outside = vec3(0.25, 0.55, 0.85);
    vec3 colour = d < 0.0 ? inside : outside;
    colour *= 1.0 - exp(-12.0 * abs(d));
    colour *= 0.8 + 0.2 * cos(70.0 * d);
    colour = mix(colour, vec3(1.0), 1.0 - smoothstep(0.0, 2.0 * px, abs(d)));
    FragColor = vec4(colour, 1.0);
}
