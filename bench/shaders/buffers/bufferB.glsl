// Buffer B of the buffers benchmark: Buffer A of this frame, softened by a five-tap blur and blended
// into its own previous frame. Reads Buffer A and itself.
#iChannel0 "file://bufferA.glsl"
#iChannel1 "self"

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 texel = 1.0 / iResolution.xy;
    vec2 uv = fragCoord * texel;
    vec3 sum = 2.0 * texture(iChannel0, uv).rgb;
    sum += texture(iChannel0, uv + vec2(2.0 * texel.x, 0.0)).rgb + texture(iChannel0, uv - vec2(2.0 * texel.x, 0.0)).rgb;
    sum += texture(iChannel0, uv + vec2(0.0, 2.0 * texel.y)).rgb + texture(iChannel0, uv - vec2(0.0, 2.0 * texel.y)).rgb;
    vec3 before = texture(iChannel1, uv).rgb;
    fragColor = vec4(mix(sum / 6.0, before, 0.6), 1.0);
}
