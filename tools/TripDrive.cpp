// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/TripDrive.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

#include "tools/CityRoute.h"
#include "tools/Rng.h"

namespace tools {

namespace {

constexpr double kPi = std::numbers::pi;
// The drive's steps: 20 a second, twice as fine as the G-sensor's samples.
constexpr int kStepsPerSecond = 20;
constexpr double kStep = 1.0 / kStepsPerSecond;
// Metres per degree of latitude (and of longitude on the equator).
constexpr double kMetresPerDegree = 111320;
// A corner is rounded over at most this many metres of each street it joins, metres, and over at
// most kMaxTangentShare of either street's leg.
constexpr double kMaxTangent = 20;
constexpr double kMaxTangentShare = 0.45;
// Bends smaller than this, radians, are driven straight.
constexpr double kStraight = 1e-3;
// The stop line lies this far before a junction's rounded corner, metres; a stopping car halts a
// metre before it.
constexpr double kStopLine = 4;
constexpr double kStopGap = 1;
// How far ahead the driver looks for corners and slower streets, metres: enough to slow from
// 80 km/h to a right turn's pace at kEasyBrake.
constexpr double kLookahead = 240;
// Braking for a corner or a slower street, m/s².
constexpr double kEasyBrake = 1.5;
// The hardest a driver brakes for a light, m/s². A light that turns when the car could not stop
// at it even so is driven through.
constexpr double kHardBrake = 3.2;
// A light is judged this many metres before the driver would have to start braking for it.
constexpr double kSight = 15;
// Below the pace, the driver closes the gap over this time, seconds, instead of pressing on at full
// acceleration to the last.
constexpr double kEaseSeconds = 1.5;
// Pulling away weakens with speed: at 25 m/s the car accelerates this share less.
constexpr double kAccelFade = 0.3;
constexpr double kAccelFadeSpeed = 25;
// A light's last seconds of green count as amber: a car that would arrive then stops.
constexpr double kAmber = 3;
// Speeds used to guess when the car reaches a light, m/s: at least a slow roll.
constexpr double kCreep = 4;

struct Vec {
  double x = 0, y = 0;
};

// Radians in (-pi, pi].
double Wrap(double a) {
  while (a > kPi) a -= 2 * kPi;
  while (a <= -kPi) a += 2 * kPi;
  return a;
}

// The circuit of kCityCircuit as straights and circular arcs, in metres east (x) and north (y) of
// its first waypoint. Built once; read by any thread.
class Circuit {
 public:
  struct Piece {
    double start = 0;  // metres along the circuit
    double length = 0;
    Vec from;
    double heading = 0;    // at the start, radians clockwise from north
    double curvature = 0;  // radians a metre, positive turning right; 0 on a straight
    double paceKmh = 0;    // of its street; an arc: of the slower street it joins
  };

  Circuit() {
    const std::size_t n = kCityCircuitSize;
    latitude0_ = kCityCircuit[0].latitude;
    longitude0_ = kCityCircuit[0].longitude;
    cosLatitude0_ = std::cos(latitude0_ * kPi / 180);
    std::vector<Vec> p(n);
    for (std::size_t i = 0; i < n; ++i) {
      p[i] = {(kCityCircuit[i].longitude - longitude0_) * kMetresPerDegree * cosLatitude0_,
              (kCityCircuit[i].latitude - latitude0_) * kMetresPerDegree};
    }
    // Leg i runs from waypoint i to the next; the turn at waypoint i joins leg i - 1 to leg i.
    std::vector<double> length(n), heading(n), turn(n), tangent(n);
    for (std::size_t i = 0; i < n; ++i) {
      const Vec& a = p[i];
      const Vec& b = p[(i + 1) % n];
      length[i] = std::hypot(b.x - a.x, b.y - a.y);
      heading[i] = std::atan2(b.x - a.x, b.y - a.y);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t before = (i + n - 1) % n;
      turn[i] = Wrap(heading[i] - heading[before]);
      tangent[i] = std::fabs(turn[i]) < kStraight
                       ? 0
                       : std::min({kMaxTangent, kMaxTangentShare * length[before],
                                   kMaxTangentShare * length[i]});
    }
    // The circuit starts where the first leg leaves the rounded corner of the first waypoint, and
    // ends with that corner.
    double s = 0;
    std::vector<double> cornerStart(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t next = (i + 1) % n;
      const Vec along{std::sin(heading[i]), std::cos(heading[i])};
      const double pace = StreetPaceKmh(kCityCircuit[i].street);
      Piece straight;
      straight.start = s;
      straight.length = length[i] - tangent[i] - tangent[next];
      straight.from = {p[i].x + along.x * tangent[i], p[i].y + along.y * tangent[i]};
      straight.heading = heading[i];
      straight.paceKmh = pace;
      pieces_.push_back(straight);
      s += straight.length;
      cornerStart[next] = s;
      if (tangent[next] > 0) {
        const double radius = tangent[next] / std::tan(std::fabs(turn[next]) / 2);
        Piece arc;
        arc.start = s;
        arc.length = radius * std::fabs(turn[next]);
        arc.from = {p[next].x - along.x * tangent[next], p[next].y - along.y * tangent[next]};
        arc.heading = heading[i];
        arc.curvature = (turn[next] > 0 ? 1 : -1) / radius;
        arc.paceKmh = std::min(pace, StreetPaceKmh(kCityCircuit[next].street));
        pieces_.push_back(arc);
        s += arc.length;
      }
    }
    length_ = s;
    for (std::size_t i = 0; i < n; ++i) {
      if (kCityCircuit[i].signal) {
        stopLines_.push_back(std::fmod(cornerStart[i] - kStopLine + length_, length_));
      }
    }
    std::sort(stopLines_.begin(), stopLines_.end());
  }

  double length() const { return length_; }
  const std::vector<Piece>& pieces() const { return pieces_; }
  // Metres along the circuit of the stop lines, in order.
  const std::vector<double>& stopLines() const { return stopLines_; }

  // Where the car is, and which way it faces (radians clockwise from north), `metres` along the
  // circuit from its start, laps over.
  void At(double metres, Vec* where, double* heading) const {
    const double s = std::fmod(std::max(metres, 0.0), length_);
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), s,
                               [](double v, const Piece& p) { return v < p.start; });
    const Piece& p = *(it == pieces_.begin() ? it : it - 1);
    const double u = std::min(s - p.start, p.length);
    if (p.curvature == 0) {
      *heading = p.heading;
      *where = {p.from.x + std::sin(p.heading) * u, p.from.y + std::cos(p.heading) * u};
      return;
    }
    const double k = p.curvature;
    *heading = p.heading + k * u;
    *where = {p.from.x + (std::cos(p.heading) - std::cos(*heading)) / k,
              p.from.y + (std::sin(*heading) - std::sin(p.heading)) / k};
  }

  double Latitude(const Vec& v) const { return latitude0_ + v.y / kMetresPerDegree; }
  double Longitude(const Vec& v) const {
    return longitude0_ + v.x / (kMetresPerDegree * cosLatitude0_);
  }

 private:
  double latitude0_ = 0, longitude0_ = 0, cosLatitude0_ = 1;
  std::vector<Piece> pieces_;
  std::vector<double> stopLines_;
  double length_ = 0;
};

const Circuit& TheCircuit() {
  static const Circuit circuit;
  return circuit;
}

// The driver's ways, drawn from the trip's seed.
struct Driver {
  double pace = 1;      // share of each street's pace
  double accel = 2;     // pulling away, m/s²
  double brake = 2.4;   // stopping for a light, m/s²
  double reaction = 1;  // from green to pulling away, seconds
  double lateral = 2;   // the most sideways acceleration taken through a corner, m/s²
  double wave[2] = {};  // phases of the traffic's ebb and flow

  // m/s at trip time t on a piece of the given pace.
  double Pace(double t, double paceKmh) const {
    const double flow = 1 + 0.03 * std::sin(2 * kPi * t / 53 + wave[0]) +
                        0.015 * std::sin(2 * kPi * t / 19 + wave[1]);
    return paceKmh / 3.6 * pace * flow;
  }
  // m/s the driver keeps to at trip time t on piece p.
  double Limit(double t, const Circuit::Piece& p) const {
    const double v = Pace(t, p.paceKmh);
    return p.curvature == 0 ? v : std::min(v, std::sqrt(lateral / std::fabs(p.curvature)));
  }
};

// A traffic light's cycle: red for `red` seconds from `phase` seconds before the trip starts, then
// green for the rest of `cycle`.
struct LightTiming {
  double cycle = 60, red = 25, phase = 0;

  double PhaseAt(double t) const { return std::fmod(t + phase, cycle); }
  bool GreenAt(double t) const {
    const double p = PhaseAt(t);
    return p >= red && p < cycle - kAmber;
  }
  // When the next green after t starts (t itself if it is green now and was red at t).
  double NextGreen(double t) const {
    const double p = PhaseAt(t);
    return p < red ? t + (red - p) : t + (cycle - p) + red;
  }
};

}  // namespace

TripDrive::TripDrive(std::uint64_t seed, int offsetSeconds, int seconds, bool parked) {
  const Circuit& circuit = TheCircuit();
  const auto& pieces = circuit.pieces();
  const auto& stopLines = circuit.stopLines();
  const double lap = circuit.length();

  Rng rng(seed);
  Driver driver;
  driver.pace = rng.Range(0.94, 1.08);
  driver.accel = rng.Range(1.6, 2.4);
  driver.brake = rng.Range(2.0, 2.8);
  driver.reaction = rng.Range(0.8, 2.0);
  driver.lateral = rng.Range(1.8, 2.6);
  driver.wave[0] = rng.Range(0, 2 * kPi);
  driver.wave[1] = rng.Range(0, 2 * kPi);
  std::vector<LightTiming> lights(stopLines.size());
  for (LightTiming& l : lights) {
    l.cycle = rng.Range(50, 80);
    l.red = l.cycle * rng.Range(0.35, 0.5);
    l.phase = rng.Range(0, l.cycle);
  }

  offsetSeconds = std::clamp(offsetSeconds, 0, kMaxSeconds);
  seconds = std::clamp(seconds, 0, kMaxSeconds);
  const std::int64_t first = std::int64_t(offsetSeconds) * kStepsPerSecond;
  const std::int64_t last = first + std::int64_t(seconds) * kStepsPerSecond;
  const std::int64_t driveTo = parked ? first : last;

  double s = 0;              // metres since the trip started
  double lapStart = 0;       // where the current lap started
  std::size_t piece = 0;     // the piece the car is on
  std::size_t light = 0;     // the next light
  double lightLapStart = 0;  // the start of the lap of the next light
  enum class Decision { kNone, kGo, kStop } decision = Decision::kNone;
  double goAt = 0;  // when a car stopping for a light may pull away

  // The fastest the car should go now: the pace of its piece and of what lies ahead within reach of
  // easy braking, and, stopping for a light, what still lets it halt before the line.
  auto target = [&](double t, double toLight) {
    const double at = s - lapStart;
    double limit = driver.Limit(t, pieces[piece]);
    double ahead = pieces[piece].start + pieces[piece].length - at;
    for (std::size_t j = piece; ahead < kLookahead;) {
      j = (j + 1) % pieces.size();
      const double next = driver.Limit(t, pieces[j]);
      limit = std::min(limit, std::sqrt(next * next + 2 * kEasyBrake * std::max(ahead, 0.0)));
      ahead += pieces[j].length;
    }
    if (decision == Decision::kStop) {
      limit = std::min(limit, std::sqrt(2 * driver.brake * std::max(toLight - kStopGap, 0.0)));
    }
    return limit;
  };

  // Under way from the start: at the pace of where it starts (no light is judged yet).
  double v = target(0, 0);
  samples_.reserve(std::size_t(last - first + 1));
  for (std::int64_t n = 0;; ++n) {
    if (!parked && n >= first) samples_.push_back({s, v});
    if (n >= driveTo) break;
    const double t = double(n) * kStep;

    while (s - lapStart >= pieces[piece].start + pieces[piece].length) {
      if (++piece == pieces.size()) {
        piece = 0;
        lapStart += lap;
      }
    }
    double toLight = kLookahead * 10;
    if (!stopLines.empty()) {
      while (s > lightLapStart + stopLines[light]) {
        if (++light == stopLines.size()) {
          light = 0;
          lightLapStart += lap;
        }
        decision = Decision::kNone;
      }
      toLight = lightLapStart + stopLines[light] - s;
      const LightTiming& timing = lights[light];
      if (decision == Decision::kNone && toLight <= v * v / (2 * driver.brake) + kSight) {
        const bool cannotStop = toLight < v * v / (2 * kHardBrake) + kStopGap;
        if (cannotStop || timing.GreenAt(t + toLight / std::max(v, kCreep))) {
          decision = Decision::kGo;
        } else {
          decision = Decision::kStop;
          goAt = timing.NextGreen(t) + driver.reaction;
        }
      }
      if (decision == Decision::kStop && t >= goAt) decision = Decision::kGo;
    }

    const double goal = target(t, toLight);
    double a = 0;
    if (goal > v) {
      a = std::min(driver.accel * (1 - kAccelFade * std::min(v / kAccelFadeSpeed, 1.0)),
                   (goal - v) / kEaseSeconds);
    } else {
      a = std::max(-kHardBrake, (goal - v) / kStep);
    }
    const double next = std::max(0.0, v + a * kStep);
    s += 0.5 * (v + next) * kStep;
    v = next;
  }
  if (parked) samples_.assign(std::size_t(last - first + 1), Sample{s, 0});
}

void TripDrive::Locate(double t, std::size_t* index, double* fraction) const {
  const double steps = std::clamp(t * kStepsPerSecond, 0.0, double(samples_.size() - 1));
  *index = std::min(std::size_t(steps), samples_.size() - 1);
  *fraction = *index + 1 < samples_.size() ? steps - double(*index) : 0;
}

double TripDrive::SpeedKmh(double t) const {
  std::size_t i = 0;
  double f = 0;
  Locate(t, &i, &f);
  const double v = f > 0 ? samples_[i].speed + (samples_[i + 1].speed - samples_[i].speed) * f
                         : samples_[i].speed;
  return v * 3.6;
}

double TripDrive::Metres(double t) const {
  std::size_t i = 0;
  double f = 0;
  Locate(t, &i, &f);
  return f > 0 ? samples_[i].metres + (samples_[i + 1].metres - samples_[i].metres) * f
               : samples_[i].metres;
}

double TripDrive::Course(double t) const {
  Vec where;
  double heading = 0;
  TheCircuit().At(Metres(t), &where, &heading);
  double degrees = std::fmod(heading * 180 / kPi, 360.0);
  if (degrees < 0) degrees += 360;
  return degrees >= 360 ? 0 : degrees;
}

double TripDrive::Latitude(double t) const {
  Vec where;
  double heading = 0;
  TheCircuit().At(Metres(t), &where, &heading);
  return TheCircuit().Latitude(where);
}

double TripDrive::Longitude(double t) const {
  Vec where;
  double heading = 0;
  TheCircuit().At(Metres(t), &where, &heading);
  return TheCircuit().Longitude(where);
}

}  // namespace tools
