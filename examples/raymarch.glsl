#version 330 core
// A ray-marched 3D scene: a sphere bobbing over a checkered floor beside a twisting torus, lit by
// one sun with soft shadows and a little ambient occlusion. The camera circles slowly with iTime.
in vec2 coord;
out vec4 FragColor;

uniform float width;
uniform float height;
uniform float iTime;

float torus(vec3 p, vec2 t)
{
    vec2 q = vec2(length(p.xz) - t.x, p.y);
    return length(q) - t.y;
}

// Distance to the nearest surface, and which one it is (1 floor, 2 sphere, 3 torus).
vec2 scene(vec3 p)
{
    vec2 hit = vec2(p.y + 1.0, 1.0);
    float sphere = length(p - vec3(-0.8, 0.1 + 0.4 * abs(sin(iTime * 1.5)), 0.0)) - 0.6;
    if (sphere < hit.x)
        hit = vec2(sphere, 2.0);
    vec3 q = p - vec3(1.0, -0.2, 0.3);
    float a = 0.6 * iTime;
    q.xy = mat2(cos(a), sin(a), -sin(a), cos(a)) * q.xy;
    float ring = torus(q, vec2(0.55, 0.2));
    if (ring < hit.x)
        hit = vec2(ring, 3.0);
    return hit;
}

vec3 normalAt(vec3 p)
{
    vec2 e = vec2(0.001, 0.0);
    return normalize(vec3(scene(p + e.xyy).x - scene(p - e.xyy).x,
                          scene(p + e.yxy).x - scene(p - e.yxy).x,
                          scene(p + e.yyx).x - scene(p - e.yyx).x));
}

float softShadow(vec3 origin, vec3 dir)
{
    float light = 1.0;
    float t = 0.02;
    for (int i = 0; i < 32 && t < 6.0; ++i) {
        float d = scene(origin + dir * t).x;
        if (d < 0.001)
            return 0.0;
        light = min(light, 8.0 * d / t);
        t += clamp(d, 0.02, 0.5);
    }
    return clamp(light, 0.0, 1.0);
}

void main()
{
    vec2 uv = coord * vec2(width / height, 1.0);
    float angle = 0.15 * iTime;
    vec3 eye = vec3(4.5 * sin(angle), 1.2, 4.5 * cos(angle));
    vec3 forward = normalize(vec3(0.0, -0.1, 0.0) - eye);
    vec3 right = normalize(cross(forward, vec3(0.0, 1.0, 0.0)));
    vec3 up = cross(right, forward);
    vec3 dir = normalize(forward * 1.8 + right * uv.x + up * uv.y);

    vec3 sky = mix(vec3(0.75, 0.85, 1.0), vec3(0.3, 0.5, 0.9), clamp(dir.y * 2.0, 0.0, 1.0));
    vec3 colour = sky;
    float t = 0.0;
    vec2 hit = vec2(-1.0);
    for (int i = 0; i < 96 && t < 30.0; ++i) {
        vec2 h = scene(eye + dir * t);
        if (h.x < 0.0005 * t) {
            hit = vec2(t, h.y);
            break;
        }
        t += h.x;
    }

    if (hit.x > 0.0) {
        vec3 p = eye + dir * hit.x;
        vec3 n = normalAt(p);
        vec3 albedo = hit.y < 1.5 ? mix(vec3(0.25), vec3(0.85), mod(floor(p.x) + floor(p.z), 2.0))
                    : hit.y < 2.5 ? vec3(0.9, 0.3, 0.2) : vec3(0.2, 0.7, 0.5);
        vec3 sun = normalize(vec3(0.6, 0.8, 0.4));
        float diffuse = max(dot(n, sun), 0.0) * softShadow(p + n * 0.002, sun);
        float occlusion = clamp(0.5 + 2.0 * scene(p + n * 0.25).x, 0.0, 1.0);
        float shine = pow(max(dot(reflect(-sun, n), -dir), 0.0), 32.0) * diffuse;
        colour = albedo * (0.15 * occlusion * sky + 1.1 * diffuse * vec3(1.0, 0.95, 0.85)) + 0.4 * shine;
        colour = mix(colour, sky, 1.0 - exp(-0.004 * hit.x * hit.x));
    }
    FragColor = vec4(pow(colour, vec3(1.0 / 2.2)), 1.0);
}
