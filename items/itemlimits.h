#pragma once

// Bounds on what the server can make the map items hold. Geometry, ids and names come from
// the server and are not trusted; each quantity that grows with its input is capped here.
namespace ItemLimits {

// Characters of one geometry string; a longer one is invalid without being parsed.
// 100 000 points of 8-decimal coordinates need about 2.5 MB.
constexpr int MaxGeometryChars = 8 * 1024 * 1024;
// Points of one route or detector geometry; a geometry with more is invalid.
constexpr int MaxGeometryPoints = 100000;
// Direction arrows of one route: a route that would need more (one spanning the globe
// has millions at one arrow per 6 m) is drawn without arrows.
constexpr int MaxRouteArrows = 20000;
// Pixels of line one route or detector draws on the screen in one frame, fifty times across
// the screen; the rest of a longer line is left out. Only a hostile geometry (a hundred
// thousand random points) comes near: a city route shows a few thousand.
constexpr double MaxLinePixels = 100000.0;
// Detectors that may report one board active at the same time; an "active" report from
// a further detector is ignored.
constexpr int MaxActiveDetectors = 256;
// Boards that one detector tracks as active; further names are not recorded.
constexpr int MaxActiveBoards = 1024;
// Route ids listed for one detector.
constexpr int MaxDetectorRoutes = 1024;

} // namespace ItemLimits
