#version 330 core
// The cheapest useful picture: a gradient from coord that drifts with iTime.
in vec2 coord;
out vec4 FragColor;
uniform float width;
uniform float height;
uniform float iTime;
void main()
{
    FragColor = vec4(coord * 0.5 + 0.5, 0.5 + 0.5 * sin(iTime + width / height), 1.0);
}
