// Buffer C of the buffers benchmark: the edges of Buffer B (its gradient's length), drawn out into trails
// over its own previous frames. Reads Buffer B and itself.
#iChannel0 "file://bufferB.glsl"
#iChannel1 "self"

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 texel = 1.0 / iResolution.xy;
    vec2 uv = fragCoord * texel;
    vec3 l = texture(iChannel0, uv - vec2(texel.x, 0.0)).rgb, r = texture(iChannel0, uv + vec2(texel.x, 0.0)).rgb;
    vec3 d = texture(iChannel0, uv - vec2(0.0, texel.y)).rgb, u = texture(iChannel0, uv + vec2(0.0, texel.y)).rgb;
    vec3 edge = sqrt((r - l) * (r - l) + (u - d) * (u - d)) * 6.0;
    vec3 trail = texture(iChannel1, uv + vec2(0.0, texel.y)).rgb;
    fragColor = vec4(max(edge, 0.94 * trail), 1.0);
}
