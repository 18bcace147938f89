// The buffers benchmark (bench/buffers): three buffer passes drawn every frame, each reading the one
// before it and itself, and this Image pass, which shows Buffer A's dye with Buffer C's edges over it,
// tone-mapped.
#iChannel0 "file://bufferA.glsl"
#iChannel1 "file://bufferC.glsl"
#iPasses "bufferA.glsl" "bufferB.glsl" "bufferC.glsl"

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    vec3 dye = texture(iChannel0, uv).rgb;
    vec3 edges = texture(iChannel1, uv).rgb;
    vec3 colour = dye + vec3(0.9, 0.95, 1.0) * dot(edges, vec3(0.333));
    colour = colour / (1.0 + colour);
    float vignette = 1.0 - 0.3 * dot(uv - 0.5, uv - 0.5);
    fragColor = vec4(pow(colour * vignette, vec3(0.4545)), 1.0);
}
