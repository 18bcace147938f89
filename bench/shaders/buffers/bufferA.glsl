// Buffer A of the buffers benchmark: a dye field carried along a swirling flow, fed by two moving
// sources and by what Buffer C made of the previous frame. Reads itself and Buffer C.
#iChannel0 "self"
#iChannel1 "file://bufferC.glsl"

vec2 flow(vec2 p, float t)
{
    vec2 v = vec2(0.0);
    float scale = 1.0;
    for (int octave = 0; octave < 2; octave++) {
        v += vec2(sin(p.y * 3.1 * scale + t), cos(p.x * 2.7 * scale - 0.7 * t)) / scale;
        scale *= 2.03;
        p = mat2(0.8, -0.6, 0.6, 0.8) * p;
    }
    return v;
}

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    vec2 p = (2.0 * fragCoord - iResolution.xy) / iResolution.y;
    vec2 step = flow(p, 0.5 * iTime) * 1.5 / iResolution.xy;
    vec4 carried = texture(iChannel0, uv - step);
    vec4 fed = texture(iChannel1, uv + step);
    vec2 a = vec2(0.6 * cos(0.9 * iTime), 0.4 * sin(1.3 * iTime));
    vec2 b = vec2(-0.5 * sin(0.7 * iTime), 0.5 * cos(1.1 * iTime));
    vec3 source = vec3(1.0, 0.45, 0.1) * exp(-40.0 * dot(p - a, p - a)) +
                  vec3(0.1, 0.5, 1.0) * exp(-40.0 * dot(p - b, p - b));
    fragColor = vec4(0.975 * carried.rgb + 0.02 * fed.rgb + 0.08 * source, 1.0);
    if (iFrame == 0)
        fragColor = vec4(0.0, 0.0, 0.0, 1.0);
}
