// An app that draws in-app messages with the installed reference renderer:
// one node to a PNG file, and a size the renderer must refuse.
#include <sorvel/render/InAppRenderer.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "message.png";
    sorvel::InAppViewNode node;
    node.frame = {0, 0, 20, 10};
    node.backgroundColor = {1, 0, 0, 1};
    std::string error;
    const bool written = sorvel::render::writePng(node, 20, 10, path, 1.0, &error);
    const bool refused = !sorvel::render::writePng(node, -1, 10, path + ".bad", 1.0, &error);
    const double width = sorvel::render::makeTextMetrics()->lineWidth("ab", 10, false);
    std::printf("renderer: written=%d refused=%d text width=%.1f\n", written, refused, width);
    return written && refused && width > 0 ? 0 : 1;
}
