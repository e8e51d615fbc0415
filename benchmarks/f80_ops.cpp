// Nanoseconds per F80 operation of the backend this is compiled with
// (benchmarks/backends.py builds it once per backend and runs it).
//
// Each operation runs over arrays of random operands like the ones the float
// schemes meet (sample values of one segment times coordinate weights of
// similar size, their sums and quotients), independent of each other, and
// stores its results: the figure is the throughput of the operation inside
// a loop, as the schemes use it (each query does a handful of them, none
// waiting long on another).  Prints one line per operation:
// "name min_ns median_ns".

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "extended.hpp"

using namespace quorvane;
using u64 = std::uint64_t;

namespace {

constexpr std::size_t count = 1 << 14;
constexpr int rounds = 15;

volatile u64 sink;

template <class Body>
void time(const char* name, Body&& body) {
    std::vector<double> ns;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        u64 folded = 0;
        for (int rep = 0; rep < 8; ++rep) folded += body();
        const auto stop = std::chrono::steady_clock::now();
        sink = folded;
        ns.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / (8.0 * count));
    }
    std::sort(ns.begin(), ns.end());
    std::printf("%s %.3f %.3f\n", name, ns.front(), ns[ns.size() / 2]);
}


}  // namespace

int main() {
    FloatEnvironment environment;
    std::mt19937_64 rng(20261210);
    std::vector<u64> coordinates(count);
    std::vector<double> values(count), neighbours(count);
    // Values have no default constructor on every backend: built in place.
    std::vector<F80> a, b, halves, wholes;
    for (std::size_t i = 0; i < count; ++i) {
        coordinates[i] = rng() >> (rng() % 32);
        const int scale = static_cast<int>(rng() % 40) - 20;
        values[i] = std::ldexp(static_cast<double>(rng() >> 11), scale - 53);
        const double next = values[i] * (1.0 + std::ldexp(static_cast<double>(rng() >> 11), -60));
        // A sample of the same segment, as the inverse scheme subtracts.
        neighbours[i] = values[i] * (1.0 + std::ldexp(static_cast<double>(rng() >> 11), -56));
        const u64 width = 2 + (rng() >> (rng() % 40));
        const u64 wa = 1 + rng() % (width - 1);
        a.push_back(F80::from_f64(values[i]) * F80::from_u64(wa));
        b.push_back(F80::from_f64((i % 8 == 0) ? -next : next) * F80::from_u64(width - wa));
        halves.push_back(F80::from_u64(rng() >> (rng() % 64)) / F80::from_u64(1 + rng() % 4));
        wholes.push_back(halves.back().round_even());
    }
    std::vector<F80> out(a);

    time("from_u64", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = F80::from_u64(coordinates[i]);
        return out[count / 2].parts().m;
    });
    time("from_f64", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = F80::from_f64(values[i]);
        return out[count / 2].parts().m;
    });
    time("difference", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = F80::difference(values[i], neighbours[i]);
        return out[count / 2].parts().m;
    });
    time("add", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = a[i] + b[i];
        return out[count / 2].parts().m;
    });
    time("sub", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = a[i] - b[i];
        return out[count / 2].parts().m;
    });
    time("mul", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = a[i] * b[i];
        return out[count / 2].parts().m;
    });
    time("div", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = a[i] / b[i];
        return out[count / 2].parts().m;
    });
    time("round_even", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = halves[i].round_even();
        return out[count / 2].parts().m;
    });
    time("floor", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = halves[i].floor();
        return out[count / 2].parts().m;
    });
    time("ceil", [&] {
        for (std::size_t i = 0; i < count; ++i) out[i] = halves[i].ceil();
        return out[count / 2].parts().m;
    });
    time("equal", [&] {
        u64 s = 0;
        for (std::size_t i = 0; i < count; ++i) s += (halves[i] == wholes[i]) ? 1u : 0u;
        return s;
    });
    time("to_f64", [&] {
        u64 s = 0;
        for (std::size_t i = 0; i < count; ++i) s += std::bit_cast<u64>(to_f64(a[i]));
        return s;
    });
    time("whole_to_u64", [&] {
        u64 s = 0;
        for (std::size_t i = 0; i < count; ++i) s += whole_to_u64(wholes[i]);
        return s;
    });
    return 0;
}
