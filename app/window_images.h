#pragma once

class QQmlEngine;

// Serves the window's own pictures as "image://ui/<name>", read from ":/images/<name>.png" (or
// "<name>@2x.png" for a request larger than that), each in a texture of its own. An image the
// scene graph would put into its texture atlas makes it create the atlas, a texture sized from
// the window (8 MiB at 1280×800), and the login page's logo is the only picture drawn before
// sign-in. Requests are decoded at the size asked for (Image.sourceSize times the screen's
// pixel ratio), never larger than the file, so nothing is scaled down without mipmaps.
void addWindowImages(QQmlEngine *engine);
