// What the virtual camera looks at: surfaces with a reflectivity (planes, boxes, spheres and
// upright cylinders) placed in a room, and the camera's place in it. Rays are cast in the camera's
// frame (x right, y down, z forward, millimetres, the frame of the host's point cloud); the room's
// own frame has y up with the floor at y = 0, and the camera stands at a height, pitched down.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumox::vcam {

struct Vec3 {
    double x = 0, y = 0, z = 0;
    Vec3 operator+(const Vec3 &o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vec3 operator-(const Vec3 &o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vec3 operator*(double s) const { return {x * s, y * s, z * s}; }
    double dot(const Vec3 &o) const { return x * o.x + y * o.y + z * o.z; }
    double norm() const { return std::sqrt(dot(*this)); }
    Vec3 unit() const { return *this * (1.0 / norm()); }
};

struct Surface {
    enum class Kind { kPlane, kBox, kSphere, kCylinder };
    Kind kind = Kind::kPlane;
    // Plane: a point and the normal. Box: the two opposite corners (faces along the room's
    // axes). Sphere: the centre (radius r). Cylinder: upright, a = centre of its foot, b.y = its
    // top height above the foot, radius r.
    Vec3 a, b;
    double r = 0;
    double reflectivity = 0.8;
};

// A moving object: its velocity in the room's frame (mm/s) from its place at time 0, reversing
// every `travel_s` seconds (0: it keeps going).
struct Motion {
    size_t surface = 0;  // index into Scene::surfaces
    Vec3 velocity;
    double travel_s = 0;
};

// The first surface a ray meets.
struct Hit {
    double distance = 0;  // along the unit ray, mm
    double cos_incidence = 1;
    double reflectivity = 0;
    int surface = -1;  // index into Scene::surfaces
    Vec3 normal;       // unit normal of the surface at the hit (room frame), facing the ray
};

class Scene {
  public:
    std::vector<Surface> surfaces;
    std::vector<Motion> motions;
    double camera_height_mm = 0;  // above the room's y = 0
    double camera_pitch_deg = 0;  // downwards
    std::string name;

    // First hit of the unit ray `dir` (camera frame) from the camera, if any.
    std::optional<Hit> cast(const Vec3 &dir) const;
    // First hit of the ray from `origin` along the unit `dir`, both in the room's frame.
    std::optional<Hit> cast_from(const Vec3 &origin, const Vec3 &dir) const;
    // Whether a surface lies between two points of the room's frame.
    bool blocked(const Vec3 &from, const Vec3 &to) const;
    // Whether anything in the scene moves, and the scene at time t (seconds).
    bool moving() const;
    Scene at(double t_s) const;
    // A direction of the room's frame in the camera's frame, and back.
    Vec3 to_camera(const Vec3 &room) const;
    Vec3 to_room(const Vec3 &camera) const;
    // Where the camera stands, in the room's frame.
    Vec3 camera_position() const { return {0, camera_height_mm, 0}; }

    // A flat wall square to the camera at `distance_mm`.
    static Scene wall(double distance_mm, double reflectivity = 0.8);
    // A wall at `wall_mm` with a box in front of it, its front face at 60 % of that distance:
    // sharp depth edges all round the box.
    static Scene box(double wall_mm);
    // A room: floor, back wall 3.5 m away, a box, a sphere and a pillar, seen from 0.9 m above the
    // floor with the camera pitched 12 degrees down.
    static Scene room();
    // "wall", "wall:MM", "box", "box:MM", "room", or the path of a scene file. On failure returns
    // nothing and says why in `error`.
    static std::optional<Scene> named(const std::string &name, std::string &error);
    // A scene file: one item per line, '#' starts a comment; lengths in mm, angles in degrees.
    //   camera HEIGHT PITCH
    //   plane PX PY PZ NX NY NZ [REFL]
    //   box X0 Y0 Z0 X1 Y1 Z1 [REFL] [move VX VY VZ [SECONDS]]
    //   sphere CX CY CZ R [REFL] [move VX VY VZ [SECONDS]]
    //   cylinder CX CZ Y0 Y1 R [REFL] [move VX VY VZ [SECONDS]]   (upright, from Y0 to Y1)
    // `move`: velocity in mm/s from the place given, reversing every SECONDS (README has more).
    static std::optional<Scene> parse(const std::string &text, std::string &error);
};

}  // namespace lumox::vcam
