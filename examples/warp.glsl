#version 330 core
// Domain-warped noise: fractal value noise (fbm) looked up at a point that is itself moved by fbm,
// twice over, which folds it into marbled, smoky shapes. iTime slowly stirs the warp.
in vec2 coord;
out vec4 FragColor;

uniform float width;
uniform float height;
uniform float iTime;

float hash(vec2 p)
{
    p = fract(p * vec2(123.34, 456.21));
    p += dot(p, p + 45.32);
    return fract(p.x * p.y);
}

float valueNoise(vec2 p)
{
    vec2 i = floor(p);
    vec2 f = fract(p);
    vec2 u = f * f * (3.0 - 2.0 * f);
    return mix(mix(hash(i), hash(i + vec2(1.0, 0.0)), u.x),
               mix(hash(i + vec2(0.0, 1.0)), hash(i + vec2(1.0, 1.0)), u.x), u.y);
}

float fbm(vec2 p)
{
    float sum = 0.0;
    float amplitude = 0.5;
    mat2 turn = mat2(0.8, 0.6, -0.6, 0.8);
    for (int i = 0; i < 5; ++i) {
        sum += amplitude * valueNoise(p);
        p = turn * p * 2.02 + 1.7;
        amplitude *= 0.5;
    }
    return sum;
}

void main()
{
    vec2 p = 1.6 * coord * vec2(width / height, 1.0);
    float t = 0.08 * iTime;
    vec2 q = vec2(fbm(p + vec2(0.0, t)), fbm(p + vec2(5.2, 1.3 - t)));
    vec2 r = vec2(fbm(p + 3.5 * q + vec2(1.7, 9.2) + t), fbm(p + 3.5 * q + vec2(8.3, 2.8)));
    float f = fbm(p + 3.0 * r);

    vec3 colour = mix(vec3(0.10, 0.12, 0.25), vec3(0.85, 0.45, 0.20), clamp(f * f * 2.2, 0.0, 1.0));
    colour = mix(colour, vec3(0.05, 0.35, 0.40), clamp(length(q), 0.0, 1.0) * 0.6);
    colour = mix(colour, vec3(0.95, 0.90, 0.75), clamp(r.x * r.x * 1.2 - 0.2, 0.0, 1.0));
    FragColor = vec4(colour * (0.6 + 0.6 * f), 1.0);
}
