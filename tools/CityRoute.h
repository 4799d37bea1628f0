// SPDX-License-Identifier: GPL-3.0-or-later
// The streets the sample cards drive: a circuit of about 8 km through central Seoul that starts and
// ends on Sejong-daero beside Seoul Plaza, in front of City Hall. Every turn is a right turn, as a
// driver keeping to the right-hand traffic takes them.
//
// The first lap (about 4.9 km) goes north on Sejong-daero to Gwanghwamun, east along Jong-ro past
// Jonggak to Jongno 2-ga, south on Samil-daero across Cheonggyecheon and Eulji-ro to Toegye-ro 2-ga
// by Myeongdong station, west along Toegye-ro past Hoehyeon to Sejong-daero below Sungnyemun, and
// north on Sejong-daero (the old Taepyeong-ro) back to City Hall. The second (about 3.2 km) goes
// north to Gwanghwamun again, east on Jong-ro to Jonggak, south on Namdaemun-ro across Eulji-ro to
// the Bank of Korea and on past Namdaemun Market to Sungnyemun, and north to City Hall.
//
// The waypoints lie on the streets' middles, at the junctions and where a street bends, to within a
// few tens of metres; they are the polyline the car follows, its corners rounded.
#pragma once

#include <cstddef>
#include <iterator>

namespace tools {

enum class Street { kSejongDaero, kJongRo, kSamilDaero, kToegyeRo, kNamdaemunRo };

// The pace of a street in km/h: how fast the traffic flows between its junctions. Sejong-daero, ten
// to twelve lanes wide, is the route's arterial; Toegye-ro is a six-lane thoroughfare; Jong-ro and
// Samil-daero are busier city streets; Namdaemun-ro is narrow and winding.
constexpr double StreetPaceKmh(Street street) {
  switch (street) {
    case Street::kSejongDaero:
      return 70;
    case Street::kToegyeRo:
      return 58;
    case Street::kJongRo:
      return 50;
    case Street::kSamilDaero:
      return 50;
    case Street::kNamdaemunRo:
      return 44;
  }
  return 50;
}

struct Waypoint {
  double latitude = 0, longitude = 0;    // decimal degrees, north and east positive
  Street street = Street::kSejongDaero;  // the street from this waypoint to the next one
  bool signal = false;                   // traffic lights at this waypoint
};

// The circuit in the order driven; after the last waypoint the car goes on to the first.
inline constexpr Waypoint kCityCircuit[] = {
    // First lap.
    {37.565500, 126.977000, Street::kSejongDaero, false},  // beside Seoul Plaza: the start
    {37.566450, 126.976950, Street::kSejongDaero, true},   // City Hall junction
    {37.568900, 126.976850, Street::kSejongDaero, true},   // Cheonggye-ro
    {37.570750, 126.976850, Street::kJongRo, true},        // Gwanghwamun (Sejongno): right
    {37.570600, 126.978300, Street::kJongRo, false},       // Kyobo building
    {37.570350, 126.981000, Street::kJongRo, false},       // Jongno 1-ga
    {37.570200, 126.983100, Street::kJongRo, true},        // Jonggak (Namdaemun-ro)
    {37.570150, 126.985500, Street::kJongRo, false},       //
    {37.570200, 126.987900, Street::kSamilDaero, true},    // Jongno 2-ga: right
    {37.568800, 126.988000, Street::kSamilDaero, true},    // Samilgyo over Cheonggyecheon
    {37.566150, 126.988100, Street::kSamilDaero, true},    // Euljiro 2-ga
    {37.563500, 126.988300, Street::kSamilDaero, false},   // Myeongdong Cathedral
    {37.561050, 126.988200, Street::kToegyeRo, true},      // Toegye-ro 2-ga: right
    {37.560900, 126.986300, Street::kToegyeRo, false},     // Myeongdong station
    {37.560300, 126.983600, Street::kToegyeRo, false},     //
    {37.559600, 126.981200, Street::kToegyeRo, false},     // below Shinsegae
    {37.558650, 126.978400, Street::kToegyeRo, true},      // Hoehyeon
    {37.557950, 126.975800, Street::kToegyeRo, false},     // below Namdaemun Market
    {37.557450, 126.973950, Street::kSejongDaero, true},   // Namdaemun-ro 5-ga: right
    {37.559150, 126.974950, Street::kSejongDaero, false},  //
    {37.560250, 126.975800, Street::kSejongDaero, true},   // Sungnyemun
    {37.562200, 126.976300, Street::kSejongDaero, false},  //
    {37.564000, 126.976750, Street::kSejongDaero, true},   // Seosomun-ro
    // Second lap.
    {37.565500, 126.977000, Street::kSejongDaero, false},  // beside Seoul Plaza
    {37.566450, 126.976950, Street::kSejongDaero, true},   // City Hall junction
    {37.568900, 126.976850, Street::kSejongDaero, true},   // Cheonggye-ro
    {37.570750, 126.976850, Street::kJongRo, true},        // Gwanghwamun (Sejongno): right
    {37.570600, 126.978300, Street::kJongRo, false},       // Kyobo building
    {37.570350, 126.981000, Street::kJongRo, false},       // Jongno 1-ga
    {37.570200, 126.983100, Street::kNamdaemunRo, true},   // Jonggak: right
    {37.568950, 126.982950, Street::kNamdaemunRo, true},   // Gwanggyo over Cheonggyecheon
    {37.566050, 126.982600, Street::kNamdaemunRo, true},   // Euljiro 1-ga (Eulji-ro)
    {37.564000, 126.982050, Street::kNamdaemunRo, false},  // end of Myeongdong-gil
    {37.561750, 126.981250, Street::kNamdaemunRo, true},   // Bank of Korea
    {37.561100, 126.978700, Street::kNamdaemunRo, false},  // above Namdaemun Market
    {37.560550, 126.976500, Street::kSejongDaero, true},   // Sungnyemun: right
    {37.562200, 126.976300, Street::kSejongDaero, false},  //
    {37.564000, 126.976750, Street::kSejongDaero, true},   // Seosomun-ro
};

inline constexpr std::size_t kCityCircuitSize = std::size(kCityCircuit);

}  // namespace tools
