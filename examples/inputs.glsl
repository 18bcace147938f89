#version 330 core
// What the viewer hands a shader, made visible.
//  - coord: red grows left to right and green bottom to top with coord (-1 to +1); the grid lines
//    are 0.25 apart in coord and the two axes (coord = 0) are white.
//  - width and height: turn coord into pixels of a 1920x1080 picture; the ring has a radius of
//    exactly 270 of those pixels, so it stays round. Its centre turns blue if the values differ.
//  - iTime: the hand goes round the ring once a second; the bar at the bottom gains one cell a
//    second and starts again every ten seconds.
in vec2 coord;
out vec4 FragColor;

uniform float width;
uniform float height;
uniform float iTime;

float band(float d, float w)
{
    return 1.0 - smoothstep(0.0, w, abs(d));
}

void main()
{
    vec2 px = (coord * 0.5 + 0.5) * vec2(width, height);
    vec2 centre = 0.5 * vec2(width, height);
    vec3 colour = 0.35 * vec3(coord * 0.5 + 0.5, 0.15);

    vec2 cell = abs(fract(coord * 4.0 + 0.5) - 0.5) / (4.0 * fwidth(coord));
    colour += 0.25 * (1.0 - smoothstep(0.5, 1.5, min(cell.x, cell.y)));
    vec2 axis = abs(coord) / fwidth(coord);
    colour = mix(colour, vec3(1.0), 1.0 - smoothstep(1.0, 2.0, min(axis.x, axis.y)));

    vec2 p = px - centre;
    float r = length(p);
    colour = mix(colour, vec3(1.0, 0.85, 0.2), band(r - 270.0, 3.0));

    float turn = fract(iTime);
    vec2 hand = 270.0 * vec2(sin(6.2831853 * turn), cos(6.2831853 * turn));
    float along = clamp(dot(p, hand) / dot(hand, hand), 0.0, 1.0);
    colour = mix(colour, vec3(1.0, 0.3, 0.2), band(length(p - hand * along), 4.0));

    bool exact = width == 1920.0 && height == 1080.0;
    colour = mix(colour, exact ? vec3(0.2, 1.0, 0.4) : vec3(0.2, 0.4, 1.0), 1.0 - smoothstep(18.0, 20.0, r));

    vec2 bar = px - vec2(centre.x - 500.0, 60.0);
    if (bar.x > 0.0 && bar.x < 1000.0 && bar.y > 0.0 && bar.y < 60.0) {
        float slot = floor(bar.x / 100.0);
        bool lit = slot < floor(mod(iTime, 10.0)) + 1.0;
        bool gap = mod(bar.x, 100.0) < 8.0;
        colour = gap ? colour : (lit ? vec3(1.0, 0.55, 0.1) : vec3(0.12));
    }
    FragColor = vec4(colour, 1.0);
}
