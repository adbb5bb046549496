#include "vcam/scene.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <numbers>
#include <sstream>

namespace lumox::vcam {

namespace {

constexpr double kNear = 1e-6;  // hits closer than this along the ray are the surface itself

struct Axes {
    Vec3 x, y, z;  // the camera's axes in the room's frame
};

// Every ray cast turns by the camera's pitch: the axes of the last pitch are kept.
Axes axes_of(double pitch_deg) {
    thread_local double last = std::numeric_limits<double>::quiet_NaN();
    thread_local Axes axes;
    if (pitch_deg != last) {
        const double p = pitch_deg * std::numbers::pi / 180.0;
        axes = {{1, 0, 0}, {0, -std::cos(p), -std::sin(p)}, {0, -std::sin(p), std::cos(p)}};
        last = pitch_deg;
    }
    return axes;
}

// Each finds the nearest t > kNear of the ray o + t d with the surface, and the surface normal
// there (not yet of unit length).
bool intersect_plane(const Surface &s, const Vec3 &o, const Vec3 &d, double &t, Vec3 &n) {
    const double dn = d.dot(s.b);
    if (std::abs(dn) < 1e-12) return false;
    t = (s.a - o).dot(s.b) / dn;
    n = s.b;
    return t > kNear;
}

// The slabs of the three axes: the ray is inside the box between the last entry and the first
// exit; from inside, the exit is the hit.
bool intersect_box(const Surface &s, const Vec3 &o, const Vec3 &d, double &t, Vec3 &n) {
    const Vec3 lo{std::min(s.a.x, s.b.x), std::min(s.a.y, s.b.y), std::min(s.a.z, s.b.z)};
    const Vec3 hi{std::max(s.a.x, s.b.x), std::max(s.a.y, s.b.y), std::max(s.a.z, s.b.z)};
    double t0 = -std::numeric_limits<double>::infinity();
    double t1 = std::numeric_limits<double>::infinity();
    int axis0 = -1, axis1 = -1;
    const double oo[3] = {o.x, o.y, o.z}, dd[3] = {d.x, d.y, d.z};
    const double ll[3] = {lo.x, lo.y, lo.z}, hh[3] = {hi.x, hi.y, hi.z};
    for (int k = 0; k < 3; ++k) {
        if (std::abs(dd[k]) < 1e-15) {
            if (oo[k] < ll[k] || oo[k] > hh[k]) return false;
            continue;
        }
        double a = (ll[k] - oo[k]) / dd[k], b = (hh[k] - oo[k]) / dd[k];
        if (a > b) std::swap(a, b);
        if (a > t0) t0 = a, axis0 = k;
        if (b < t1) t1 = b, axis1 = k;
    }
    if (t0 > t1) return false;
    int axis = axis0;
    t = t0;
    if (t <= kNear) t = t1, axis = axis1;  // inside the box
    if (t <= kNear || axis < 0) return false;
    n = {axis == 0 ? 1.0 : 0.0, axis == 1 ? 1.0 : 0.0, axis == 2 ? 1.0 : 0.0};
    return true;
}

bool intersect_sphere(const Surface &s, const Vec3 &o, const Vec3 &d, double &t, Vec3 &n) {
    const Vec3 oc = o - s.a;
    const double b = oc.dot(d), c = oc.dot(oc) - s.r * s.r;
    const double disc = b * b - c;
    if (disc < 0) return false;
    const double root = std::sqrt(disc);
    t = -b - root;
    if (t <= kNear) t = -b + root;
    if (t <= kNear) return false;
    n = o + d * t - s.a;
    return true;
}

// The mantle between the foot and the top, then the two caps where nearer.
bool intersect_cylinder(const Surface &s, const Vec3 &o, const Vec3 &d, double &t, Vec3 &n) {
    const double y0 = s.a.y, y1 = s.a.y + s.b.y;
    bool found = false;
    const double ox = o.x - s.a.x, oz = o.z - s.a.z;
    const double qa = d.x * d.x + d.z * d.z;
    if (qa > 1e-15) {
        const double qb = ox * d.x + oz * d.z, qc = ox * ox + oz * oz - s.r * s.r;
        const double disc = qb * qb - qa * qc;
        if (disc >= 0) {
            const double root = std::sqrt(disc);
            for (double cand : {(-qb - root) / qa, (-qb + root) / qa}) {
                const double y = o.y + cand * d.y;
                if (cand > kNear && y >= y0 && y <= y1) {
                    t = cand;
                    n = {ox + cand * d.x, 0, oz + cand * d.z};
                    found = true;
                    break;
                }
            }
        }
    }
    if (std::abs(d.y) > 1e-15) {
        for (double cap : {y0, y1}) {
            const double cand = (cap - o.y) / d.y;
            const double x = ox + cand * d.x, z = oz + cand * d.z;
            if (cand > kNear && x * x + z * z <= s.r * s.r && (!found || cand < t)) {
                t = cand;
                n = {0, 1, 0};
                found = true;
            }
        }
    }
    return found;
}

bool intersect(const Surface &s, const Vec3 &o, const Vec3 &d, double &t, Vec3 &n) {
    switch (s.kind) {
        case Surface::Kind::kPlane:
            return intersect_plane(s, o, d, t, n);
        case Surface::Kind::kBox:
            return intersect_box(s, o, d, t, n);
        case Surface::Kind::kSphere:
            return intersect_sphere(s, o, d, t, n);
        case Surface::Kind::kCylinder:
            return intersect_cylinder(s, o, d, t, n);
    }
    return false;
}

}  // namespace

Vec3 Scene::to_room(const Vec3 &c) const {
    const Axes a = axes_of(camera_pitch_deg);
    return a.x * c.x + a.y * c.y + a.z * c.z;
}

Vec3 Scene::to_camera(const Vec3 &r) const {
    const Axes a = axes_of(camera_pitch_deg);
    return {r.dot(a.x), r.dot(a.y), r.dot(a.z)};
}

std::optional<Hit> Scene::cast(const Vec3 &dir) const {
    return cast_from(camera_position(), to_room(dir));
}

bool Scene::blocked(const Vec3 &from, const Vec3 &to) const {
    const Vec3 d = to - from;
    const double len = d.norm();
    if (len <= 0) return false;
    const Vec3 u = d * (1.0 / len);
    for (const Surface &s : surfaces) {
        double t = 0;
        Vec3 n;
        // Both ends lie on surfaces: only what is clearly between them blocks.
        if (intersect(s, from, u, t, n) && t > 1e-3 * len + 0.01 && t < len * (1 - 1e-3) - 0.01)
            return true;
    }
    return false;
}

bool Scene::moving() const {
    return std::any_of(motions.begin(), motions.end(), [&](const Motion &m) {
        return m.surface < surfaces.size() && m.velocity.norm() > 0;
    });
}

Scene Scene::at(double t_s) const {
    Scene out = *this;
    for (const Motion &m : motions) {
        if (m.surface >= out.surfaces.size()) continue;
        double t = t_s;
        if (m.travel_s > 0) {  // back and forth: a triangle wave between 0 and travel_s
            const double phase = std::fmod(std::max(0.0, t_s), 2 * m.travel_s);
            t = phase <= m.travel_s ? phase : 2 * m.travel_s - phase;
        }
        Surface &s = out.surfaces[m.surface];
        const Vec3 shift = m.velocity * t;
        s.a = s.a + shift;
        if (s.kind == Surface::Kind::kBox) s.b = s.b + shift;  // the other corner
    }
    return out;
}

std::optional<Hit> Scene::cast_from(const Vec3 &o, const Vec3 &d) const {
    std::optional<Hit> best;
    for (size_t i = 0; i < surfaces.size(); ++i) {
        double t = 0;
        Vec3 n;
        if (!intersect(surfaces[i], o, d, t, n)) continue;
        if (best && t >= best->distance) continue;
        const double len = n.norm();
        Hit h;
        h.distance = t;
        h.cos_incidence = len > 0 ? std::min(1.0, std::abs(d.dot(n)) / len) : 1.0;
        h.reflectivity = surfaces[i].reflectivity;
        h.surface = static_cast<int>(i);
        h.normal = len > 0 ? n * ((d.dot(n) > 0 ? -1.0 : 1.0) / len) : d * -1.0;
        best = h;
    }
    return best;
}

Scene Scene::wall(double distance_mm, double reflectivity) {
    Scene s;
    s.name = "wall";
    s.surfaces.push_back({Surface::Kind::kPlane, {0, 0, distance_mm}, {0, 0, -1}, 0, reflectivity});
    return s;
}

Scene Scene::box(double wall_mm) {
    Scene s = wall(wall_mm);
    s.name = "box";
    const double z = 0.6 * wall_mm, half = 0.16 * wall_mm;
    s.surfaces.push_back(
        {Surface::Kind::kBox, {-half, -half, z}, {half, half, z + 2 * half}, 0, 0.6});
    return s;
}

Scene Scene::room() {
    Scene s;
    s.name = "room";
    s.camera_height_mm = 900;
    s.camera_pitch_deg = 12;
    using K = Surface::Kind;
    s.surfaces.push_back({K::kPlane, {0, 0, 0}, {0, 1, 0}, 0, 0.45});     // floor
    s.surfaces.push_back({K::kPlane, {0, 0, 3500}, {0, 0, -1}, 0, 0.8});  // back wall
    s.surfaces.push_back({K::kBox, {-1000, 0, 1600}, {-350, 550, 2150}, 0, 0.6});
    s.surfaces.push_back({K::kSphere, {550, 350, 2100}, {}, 350, 0.7});
    s.surfaces.push_back({K::kCylinder, {1350, 0, 3000}, {0, 2000, 0}, 180, 0.5});
    return s;
}

std::optional<Scene> Scene::named(const std::string &name, std::string &error) {
    auto with_distance = [&](const std::string &base, double fallback) -> std::optional<double> {
        if (name == base) return fallback;
        const std::string prefix = base + ":";
        if (name.rfind(prefix, 0) != 0) return std::nullopt;
        const std::string v = name.substr(prefix.size());
        char *end = nullptr;
        errno = 0;
        const double mm = std::strtod(v.c_str(), &end);
        if (errno || v.empty() || *end || !(mm >= 100 && mm <= 50000)) {
            error = "the distance of '" + name + "' must be 100 to 50000 mm";
            return -1.0;
        }
        return mm;
    };
    if (auto mm = with_distance("wall", 2000)) {
        if (*mm < 0) return std::nullopt;
        return wall(*mm);
    }
    if (auto mm = with_distance("box", 2000)) {
        if (*mm < 0) return std::nullopt;
        return box(*mm);
    }
    if (name == "room") return room();
    std::ifstream in(name);
    if (!in) {
        error = "no scene '" + name + "' (wall, wall:MM, box, box:MM, room, or a scene file)";
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    auto scene = parse(text.str(), error);
    if (!scene) error = name + ": " + error;
    if (scene) scene->name = name;
    return scene;
}

namespace {

// A scene file's line: its item, its numbers and those after "move".
struct Item {
    std::string kind;  // empty: nothing but blanks or a comment
    std::vector<double> v, motion;
    bool moves = false;
};

// False, saying why, when a word of the line is not a number.
bool split_item(std::string line, Item &item, std::string &why) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    if (!(words >> item.kind)) return true;
    std::string word;
    while (words >> word) {
        if (word == "move" && !item.moves) {
            item.moves = true;
            continue;
        }
        char *end = nullptr;
        const double x = std::strtod(word.c_str(), &end);
        if (*end || !std::isfinite(x)) {
            why = "'" + word + "' is not a number";
            return false;
        }
        (item.moves ? item.motion : item.v).push_back(x);
    }
    return true;
}

// The surface an item describes; nothing, saying why, when it describes none.
std::optional<Surface> surface_of(const Item &item, std::string &why) {
    const std::vector<double> &v = item.v;
    auto need = [&](size_t n) {
        if (v.size() == n || v.size() == n + 1) return true;
        why = item.kind + " takes " + std::to_string(n) + " numbers and an optional reflectivity";
        return false;
    };
    auto reflectivity = [&](size_t n) { return v.size() > n ? v[n] : 0.8; };
    Surface f;
    if (item.kind == "plane") {
        if (!need(6)) return std::nullopt;
        f = {Surface::Kind::kPlane, {v[0], v[1], v[2]}, {v[3], v[4], v[5]}, 0, reflectivity(6)};
        if (f.b.norm() == 0) {
            why = "the plane's normal is zero";
            return std::nullopt;
        }
        f.b = f.b.unit();
    } else if (item.kind == "box") {
        if (!need(6)) return std::nullopt;
        f = {Surface::Kind::kBox, {v[0], v[1], v[2]}, {v[3], v[4], v[5]}, 0, reflectivity(6)};
    } else if (item.kind == "sphere") {
        if (!need(4)) return std::nullopt;
        f = {Surface::Kind::kSphere, {v[0], v[1], v[2]}, {}, v[3], reflectivity(4)};
    } else if (item.kind == "cylinder") {
        if (!need(5)) return std::nullopt;
        f = {Surface::Kind::kCylinder,
             {v[0], v[2], v[1]},
             {0, v[3] - v[2], 0},
             v[4],
             reflectivity(5)};
        if (f.b.y < 0) {
            why = "the cylinder's top is below its foot";
            return std::nullopt;
        }
    } else {
        why = "unknown item '" + item.kind + "'";
        return std::nullopt;
    }
    if ((f.kind == Surface::Kind::kSphere || f.kind == Surface::Kind::kCylinder) && f.r <= 0) {
        why = "the radius must be positive";
        return std::nullopt;
    }
    if (!(f.reflectivity >= 0 && f.reflectivity <= 1)) {
        why = "reflectivity must be 0 to 1";
        return std::nullopt;
    }
    return f;
}

}  // namespace

std::optional<Scene> Scene::parse(const std::string &text, std::string &error) {
    Scene s;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    std::string why;
    auto fail = [&](const std::string &reason) {
        error = "line " + std::to_string(number) + ": " + reason;
        return std::nullopt;
    };
    while (std::getline(lines, line)) {
        ++number;
        Item item;
        if (!split_item(line, item, why)) return fail(why);
        if (item.kind.empty()) continue;
        const bool fixed = item.kind == "camera" || item.kind == "plane";
        if (item.moves && (fixed || (item.motion.size() != 3 && item.motion.size() != 4)))
            return fail(fixed ? item.kind + " cannot move" : "move takes VX VY VZ [SECONDS]");
        if (item.kind == "camera") {
            if (item.v.size() != 2) return fail("camera takes HEIGHT PITCH");
            s.camera_height_mm = item.v[0];
            s.camera_pitch_deg = item.v[1];
            continue;
        }
        const std::optional<Surface> f = surface_of(item, why);
        if (!f) return fail(why);
        if (item.moves) {
            const std::vector<double> &m = item.motion;
            const Motion motion{s.surfaces.size(), {m[0], m[1], m[2]}, m.size() > 3 ? m[3] : 0};
            if (motion.travel_s < 0) return fail("the travel time must not be negative");
            s.motions.push_back(motion);
        }
        s.surfaces.push_back(*f);
    }
    if (s.surfaces.empty()) {
        error = "no surfaces";
        return std::nullopt;
    }
    return s;
}

}  // namespace lumox::vcam
