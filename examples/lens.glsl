// A lens drifting over a picture, written as shaders on the web are: mainImage, iResolution, iTime and
// an image in iChannel0. The picture is the gallery's still of julia.glsl:
//     quillomar-live examples/lens.glsl --channel0 docs/julia.png
// channel0: docs/julia.png

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    float aspect = iResolution.x / iResolution.y;
    vec2 uv = fragCoord / iResolution.xy;
    vec2 centre = vec2(0.5) + vec2(0.32 * cos(iTime * 0.6), 0.28 * sin(iTime * 0.85));
    vec2 d = (uv - centre) * vec2(aspect, 1.0);
    float r = length(d);
    const float radius = 0.24;

    // Inside the lens the picture is magnified towards its centre, a little more in red than in blue.
    vec2 st = uv;
    vec3 colour;
    if (r < radius) {
        float k = r / radius;
        float zoom = 0.35 + 0.65 * k * k;
        colour = vec3(texture(iChannel0, centre + (uv - centre) * zoom * 0.985).r,
                      texture(iChannel0, centre + (uv - centre) * zoom).g,
                      texture(iChannel0, centre + (uv - centre) * zoom * 1.015).b);
        colour += 0.25 * pow(max(0.0, 1.0 - length(d / radius - vec2(-0.35, 0.35))), 6.0);
    } else {
        // Outside, slow ripples spread from the lens and the picture is dimmed towards grey.
        st += 0.004 * sin(60.0 * r - 4.0 * iTime) * normalize(d) / vec2(aspect, 1.0);
        colour = texture(iChannel0, st).rgb;
        colour = mix(colour, vec3(dot(colour, vec3(0.3, 0.59, 0.11))), 0.45) * 0.8;
    }
    // A dark rim where glass meets air.
    colour *= 1.0 - 0.7 * exp(-pow((r - radius) * 180.0, 2.0));
    fragColor = vec4(colour, 1.0);
}
