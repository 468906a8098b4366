#include "runtime/float_text.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kaz::float_text {
namespace {

using u128 = unsigned __int128;

// ---- doubles ----

constexpr uint64_t kHidden = uint64_t(1) << 52;
constexpr uint64_t kFractionMask = kHidden - 1;
constexpr int kMinExp = -1074;  // binary exponent of the subnormals and the least normal binade
constexpr int kMaxExp = 971;    // binary exponent of the greatest binade
constexpr uint64_t kInfinityBits = 0x7FF0000000000000;
constexpr uint64_t kQuietNaNBits = 0x7FF8000000000000;

// A finite positive double as f · 2^e, f < 2^53; normal values have f ≥ 2^52.
struct Binary {
    uint64_t f;
    int e;
    bool normal() const { return f >= kHidden; }
    // The gap to the next lower double is half the gap to the next higher one.
    bool lower_closer() const { return f == kHidden && e > kMinExp; }
};

Binary binary_of(uint64_t bits) {
    uint64_t fraction = bits & kFractionMask;
    int biased = int(bits >> 52) & 0x7FF;
    if (biased == 0) return {fraction, kMinExp};
    return {fraction | kHidden, biased - 1075};
}

// The bits of f · 2^e, for f < 2^53 with f ≥ 2^52 or e == kMinExp.
uint64_t bits_of(uint64_t f, int e) {
    if (f < kHidden) return f;
    return uint64_t(e + 1075) << 52 | (f & kFractionMask);
}

double with_sign(bool negative, uint64_t bits) {
    return std::bit_cast<double>(bits | (negative ? uint64_t(1) << 63 : 0));
}

// The powers of ten that doubles hold exactly.
constexpr double kTens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactTen = 22;

template <int N>
constexpr auto powers_of(uint64_t base) {
    struct Table {
        uint64_t v[N];
        constexpr uint64_t operator[](int i) const { return v[i]; }
    } t{};
    uint64_t p = 1;
    for (int i = 0; i < N; ++i, p *= base) t.v[i] = p;
    return t;
}
constexpr auto kPow10 = powers_of<20>(10);  // up to 10^19
constexpr auto kPow5 = powers_of<28>(5);    // up to 5^27

// floor(x · log10 2), exact for |x| ≤ 1650.
constexpr int floor_log10_pow2(int x) { return (x * 78913) >> 18; }

constexpr auto kDigitPairs = [] {
    struct Pairs {
        char v[200];
    } t{};
    for (int i = 0; i < 100; ++i) {
        t.v[2 * i] = char('0' + i / 10);
        t.v[2 * i + 1] = char('0' + i % 10);
    }
    return t;
}();

// The number of decimal digits of m > 0.
int digit_count(uint64_t m) {
    int t = std::bit_width(m) * 1233 >> 12;  // floor(log10 m) or one more
    return t + (m >= kPow10[t]);
}

// Writes the digits of m > 0, without its trailing zeros, for the value m · 10^x.
void emit(uint64_t m, int x, char* out, int& length, int& point) {
    while (m % 10 == 0) {
        m /= 10;
        ++x;
    }
    int n = digit_count(m);
    char* p = out + n;
    for (; m >= 100; m /= 100) {
        p -= 2;
        std::memcpy(p, kDigitPairs.v + 2 * (m % 100), 2);
    }
    if (m >= 10) std::memcpy(p - 2, kDigitPairs.v + 2 * m, 2);
    else p[-1] = char('0' + m);
    length = n;
    point = n + x;
}

// Adds one in the last place of the digits, dropping the nines that carry; a carry out of
// the first digit leaves "1" one place higher.
void round_up(char* out, int& length, int& point) {
    while (length > 0 && out[length - 1] == '9') --length;
    if (length == 0) {
        out[0] = '1';
        length = 1;
        ++point;
    } else {
        ++out[length - 1];
    }
}

// ---- big numbers ----

// Unsigned integers of 32-bit words, least significant first, the top word never 0. The
// capacity holds the largest value either conversion builds: an 801-digit decimal against a
// halfway point times 5^1124, some 2,700 bits.
class Big {
public:
    static constexpr int kWords = 128;

    Big() = default;
    explicit Big(uint64_t v) { set(v); }
    Big(const Big& o) : n_(o.n_) { std::memcpy(w_, o.w_, sizeof(uint32_t) * size_t(n_)); }
    Big& operator=(const Big& o) {
        n_ = o.n_;
        std::memcpy(w_, o.w_, sizeof(uint32_t) * size_t(n_));
        return *this;
    }

    void set(uint64_t v) {
        n_ = 0;
        if (v) w_[n_++] = uint32_t(v);
        if (v >> 32) w_[n_++] = uint32_t(v >> 32);
    }

    bool zero() const { return n_ == 0; }
    int top_bits() const { return 32 - std::countl_zero(w_[n_ - 1]); }

    // this = this · m + a
    void mul_add(uint32_t m, uint32_t a = 0) {
        uint64_t carry = a;
        for (int i = 0; i < n_; ++i) {
            uint64_t t = uint64_t(w_[i]) * m + carry;
            w_[i] = uint32_t(t);
            carry = t >> 32;
        }
        if (carry) w_[n_++] = uint32_t(carry);
    }

    void mul_u64(uint64_t m) {
        uint64_t carry = 0;
        for (int i = 0; i < n_; ++i) {
            u128 t = u128(w_[i]) * m + carry;
            w_[i] = uint32_t(t);
            carry = uint64_t(t >> 32);
        }
        for (; carry; carry >>= 32) w_[n_++] = uint32_t(carry);
    }

    void mul_pow5(int k) {
        for (; k >= 27; k -= 27) mul_u64(kPow5[27]);
        if (k > 0) mul_u64(kPow5[k]);
    }

    void shl(int bits) {
        if (n_ == 0 || bits == 0) return;
        int words = bits >> 5, s = bits & 31;
        if (s == 0) {
            for (int i = n_ - 1; i >= 0; --i) w_[i + words] = w_[i];
        } else {
            uint32_t spill = w_[n_ - 1] >> (32 - s);
            for (int i = n_ - 1; i > 0; --i) w_[i + words] = w_[i] << s | w_[i - 1] >> (32 - s);
            w_[words] = w_[0] << s;
            if (spill) w_[n_++ + words] = spill;
        }
        for (int i = 0; i < words; ++i) w_[i] = 0;
        n_ += words;
    }

    // this −= b, for this ≥ b.
    void sub(const Big& b) {
        int64_t borrow = 0;
        for (int i = 0; i < n_; ++i) {
            int64_t t = int64_t(w_[i]) - int64_t(b.at(i)) + borrow;
            w_[i] = uint32_t(t);
            borrow = t >> 32;
        }
        trim();
    }

    // Replaces this by this mod s and returns floor(this / s), for this < 10 · s and s
    // normalised so that its top word lies in [2^27, 2^28): the estimate from the top words
    // is then at most one too small.
    uint32_t quotient_digit(const Big& s) {
        if (n_ < s.n_) return 0;
        uint32_t q = w_[n_ - 1] / (s.w_[s.n_ - 1] + 1);
        if (q) {
            uint64_t carry = 0;
            int64_t borrow = 0;
            for (int i = 0; i < s.n_; ++i) {
                uint64_t product = uint64_t(s.w_[i]) * q + carry;
                carry = product >> 32;
                int64_t t = int64_t(w_[i]) - int64_t(uint32_t(product)) + borrow;
                w_[i] = uint32_t(t);
                borrow = t >> 32;
            }
            trim();
        }
        if (compare(*this, s) >= 0) {
            ++q;
            sub(s);
        }
        return q;
    }

    static int compare(const Big& a, const Big& b) {
        if (a.n_ != b.n_) return a.n_ < b.n_ ? -1 : 1;
        for (int i = a.n_ - 1; i >= 0; --i)
            if (a.w_[i] != b.w_[i]) return a.w_[i] < b.w_[i] ? -1 : 1;
        return 0;
    }

    // The sign of a + b − c, without forming the sum.
    static int compare_sum(const Big& a, const Big& b, const Big& c) {
        int n = std::max({a.n_, b.n_, c.n_});
        int64_t acc = 0;
        bool low = false;
        for (int i = 0; i < n; ++i) {
            acc += int64_t(a.at(i)) + int64_t(b.at(i)) - int64_t(c.at(i));
            low |= uint32_t(acc) != 0;
            acc >>= 32;
        }
        return acc < 0 ? -1 : (acc > 0 || low) ? 1 : 0;
    }

private:
    uint32_t at(int i) const { return i < n_ ? w_[i] : 0; }
    void trim() {
        while (n_ > 0 && w_[n_ - 1] == 0) --n_;
    }

    int n_ = 0;
    uint32_t w_[kWords];
};

// ---- 128-bit powers of ten ----

// 10^q ≈ (hi · 2^64 + lo) · 2^exp2 with hi ≥ 2^63, from below and less than 2 units of lo
// short; exact for 0 ≤ q ≤ 55, where 5^q fits 128 bits.
struct Power {
    uint64_t hi, lo;
    int exp2;
};
constexpr int kPowerMin = -350;
constexpr int kPowerMax = 350;

// Built once by repeated multiplication and division by ten in 256 bits, each step
// truncated: the relative error stays below 700 · 2^-255, far under the 128 bits kept.
class PowerTable {
public:
    PowerTable() {
        uint64_t x[4];
        int xe;
        auto reset = [&] {
            x[0] = x[1] = x[2] = 0;
            x[3] = uint64_t(1) << 63;
            xe = -255;
        };
        auto store = [&](int q) { powers_[q - kPowerMin] = {x[3], x[2], xe + 128}; };
        auto renormalise = [&](const uint64_t* y, int s) {
            for (int i = 0; i < 4; ++i) x[i] = y[i] >> s | y[i + 1] << (64 - s);
        };
        reset();
        store(0);
        for (int q = 1; q <= kPowerMax; ++q) {
            uint64_t y[5];
            uint64_t carry = 0;
            for (int i = 0; i < 4; ++i) {
                u128 t = u128(x[i]) * 10 + carry;
                y[i] = uint64_t(t);
                carry = uint64_t(t >> 64);
            }
            y[4] = carry;
            int s = 64 - std::countl_zero(y[4]);
            renormalise(y, s);
            xe += s;
            store(q);
        }
        reset();
        for (int q = -1; q >= kPowerMin; --q) {
            // y = floor(x · 2^64 / 10)
            uint64_t y[5];
            uint64_t rem = 0;
            for (int i = 3; i >= 0; --i) {
                u128 cur = u128(rem) << 64 | x[i];
                y[i + 1] = uint64_t(cur / 10);
                rem = uint64_t(cur % 10);
            }
            y[0] = uint64_t((u128(rem) << 64) / 10);
            int s = 64 - std::countl_zero(y[4]);
            renormalise(y, s);
            xe += s - 64;
            store(q);
        }
    }
    const Power& operator[](int q) const { return powers_[q - kPowerMin]; }

private:
    Power powers_[kPowerMax - kPowerMin + 1];
};

const PowerTable& powers() {
    static const PowerTable table;
    return table;
}

// A 192-bit product, w2 the most significant word.
struct Wide {
    uint64_t w2, w1, w0;
};

Wide multiply(uint64_t m, const Power& p) {
    u128 low = u128(m) * p.lo;
    u128 high = u128(m) * p.hi;
    u128 mid = (low >> 64) + uint64_t(high);
    return {uint64_t(high >> 64) + uint64_t(mid >> 64), uint64_t(mid), uint64_t(low)};
}

// ---- float to text: fast paths ----

// A positive real approximated from below as whole + frac / 2^64, less than kSlack units of
// frac short.
struct Fixed {
    uint64_t whole, frac;
};
constexpr uint64_t kSlack = 8;

// Products m · 2^e2 · 10^-q for results below 2^64, from m times the power of 10^-q. The
// power is short by less than 2 units in 2^-127; scaled, that is under 4 units of frac, plus
// 1 for the truncation.
class Scaler {
public:
    Scaler(int e2, int q) : p_(powers()[-q]), r_(-(p_.exp2 + e2) - 64) {}

    Wide product(uint64_t m) const { return multiply(m, p_); }

    // The power times k (1 or 2), to step from one product to a neighbouring one.
    Wide power_times(int k) const {
        if (k == 1) return {0, p_.hi, p_.lo};
        return {p_.hi >> 63, p_.hi << 1 | p_.lo >> 63, p_.lo << 1};
    }

    // The result times 2^64 is z >> r, 0 < r < 128.
    Fixed fixed(const Wide& z) const {
        u128 hi = u128(z.w2) << 64 | z.w1;
        u128 x = r_ < 64 ? hi << (64 - r_) | z.w0 >> r_ : r_ == 64 ? hi : hi >> (r_ - 64);
        return {uint64_t(x >> 64), uint64_t(x)};
    }

private:
    const Power& p_;
    int r_;
};

u128 low_part(const Wide& a) { return u128(a.w1) << 64 | a.w0; }

Wide add(const Wide& a, const Wide& b) {
    u128 low = low_part(a) + low_part(b);
    return {a.w2 + b.w2 + (low < low_part(a)), uint64_t(low >> 64), uint64_t(low)};
}

// a − b for a ≥ b.
Wide sub(const Wide& a, const Wide& b) {
    u128 low = low_part(a) - low_part(b);
    return {a.w2 - b.w2 - (low_part(a) < low_part(b)), uint64_t(low >> 64), uint64_t(low)};
}

// Whether m · 2^e2 · 10^-q is a whole number.
bool whole_q(uint64_t m, int e2, int q) {
    if (std::countr_zero(m) + e2 - q < 0) return false;
    if (q <= 0) return true;
    return q < 28 && m % kPow5[q] == 0;
}

// Settles the whole part of an approximation whose exact value is known to be whole (or
// not). Refuses when the exact value may lie past the next whole number.
bool settle(Fixed& a, bool whole) {
    if (whole) {
        if (a.frac >= uint64_t(1) << 63) ++a.whole;
        a.frac = 0;
        return true;
    }
    return a.frac <= ~uint64_t(0) - kSlack;
}

// Shortest digits of a normal double. Scaled by 10^-q, with q chosen so that the rounding
// interval is at least 1 wide, the interval's ends and the value become whole parts and
// fractions; the digits are the multiple of the highest power of ten inside the interval
// that is nearest the value. False when the approximation cannot decide an end or a tie.
bool fast_shortest(const Binary& b, char* out, int& length, int& point) {
    bool closer = b.lower_closer();
    bool even = (b.f & 1) == 0;
    int q = floor_log10_pow2(b.e - closer);
    int e2 = b.e - 2;
    uint64_t mv = b.f << 2, mp = mv + 2, mm = mv - (closer ? 1 : 2);
    Scaler scaler(e2, q);
    Wide zv = scaler.product(mv);
    Fixed lo = scaler.fixed(sub(zv, scaler.power_times(closer ? 1 : 2)));
    Fixed v = scaler.fixed(zv);
    Fixed hi = scaler.fixed(add(zv, scaler.power_times(2)));
    bool lo_whole = whole_q(mm, e2, q), v_whole = whole_q(mv, e2, q), hi_whole = whole_q(mp, e2, q);
    if (!settle(lo, lo_whole) || !settle(v, v_whole) || !settle(hi, hi_whole)) return false;

    // The whole numbers inside the interval; its ends belong to it when f is even.
    uint64_t low = lo.whole + (lo_whole && even ? 0 : 1);
    uint64_t high = hi.whole - (hi_whole && !even ? 1 : 0);
    if (low > high) return false;

    // Candidates are multiples of unit = 10^t, ceil(low / unit) to floor(high / unit);
    // below = floor(v / unit) and rem the whole part of v less below · unit.
    uint64_t unit = 1, first = low, last = high, below = v.whole, rem = 0;
    int t = 0;
    for (;;) {
        uint64_t f = first / 10 + (first % 10 != 0), l = last / 10;
        if (f > l) break;
        first = f;
        last = l;
        rem += below % 10 * unit;
        below /= 10;
        unit *= 10;
        ++t;
    }
    bool below_in = below >= first, above_in = below + 1 <= last;
    uint64_t m;
    if (below_in && above_in) {
        int side;  // -1 the lower candidate is nearer, 1 the upper, 0 a tie
        if (2 * rem + 2 <= unit) {
            side = -1;
        } else if (2 * rem > unit) {
            side = 1;
        } else if (2 * rem == unit) {
            side = v_whole ? 0 : 1;
        } else {  // unit 1: the fraction against one half
            if (v_whole) side = -1;
            else if (whole_q(mv, e2 + 1, q)) side = 0;
            else if (v.frac >= uint64_t(1) << 63) side = 1;
            else if (v.frac + kSlack < uint64_t(1) << 63) side = -1;
            else return false;
        }
        m = side < 0 || (side == 0 && below % 2 == 0) ? below : below + 1;
    } else if (below_in || above_in) {
        m = below_in ? below : below + 1;
    } else {
        return false;
    }
    emit(m, t + q, out, length, point);
    return true;
}

// `precision` (1 to 17) significant digits of a normal double, from the value scaled to 18
// or 19 whole digits.
bool fast_fixed(const Binary& b, int precision, char* out, int& length, int& point) {
    int q = floor_log10_pow2(b.e + 52) - 17;  // 10^(q+17) ≤ 2^(e+52) ≤ value
    Scaler scaler(b.e, q);
    Fixed v = scaler.fixed(scaler.product(b.f));
    bool whole = whole_q(b.f, b.e, q);
    if (!settle(v, whole)) return false;
    int count = v.whole >= kPow10[18] ? 19 : 18;
    uint64_t unit = kPow10[count - precision];
    uint64_t c = v.whole / unit, rem = v.whole % unit, half = unit / 2;
    bool up = rem > half || (rem == half && (!whole || (c & 1)));
    emit(c + up, count - precision + q, out, length, point);
    return true;
}

// The value when it is a whole number below 2^64.
bool whole_value(const Binary& b, uint64_t& u) {
    if (b.e >= 0) {
        if (b.e > 11) return false;
        u = b.f << b.e;
        return true;
    }
    if (b.e < -52 || (b.f & ((uint64_t(1) << -b.e) - 1))) return false;
    u = b.f >> -b.e;
    return true;
}

// Digits of a whole value: all of them (less trailing zeros) for the shortest form, which
// they are below 2^53, or rounded to `precision` with ties to even.
bool whole_digits(const Binary& b, int precision, char* out, int& length, int& point) {
    uint64_t u;
    if (!whole_value(b, u)) return false;
    if (precision <= 0) {
        if (u >= uint64_t(1) << 53) return false;
        emit(u, 0, out, length, point);
        return true;
    }
    int count = digit_count(u);
    if (count <= precision) {
        emit(u, 0, out, length, point);
        return true;
    }
    uint64_t unit = kPow10[count - precision];
    uint64_t c = u / unit, rem = u % unit, half = unit / 2;
    bool up = rem > half || (rem == half && (c & 1));
    emit(c + up, count - precision, out, length, point);
    return true;
}

// ---- float to text: the exact ratio ----

// Digit generation on the exact ratio: the value as b / S, big integers scaled so that the
// first digit is its integer part, with the rounding boundaries mlo and mhi on the same
// scale (half the gaps to the neighbouring doubles). Precision 0 stops at the first digit
// where the digits so far, or those rounded up, lie within the boundaries.
void exact_digits(double value, const Binary& b, int precision, char* out, int& length,
                  int& point) {
    // Estimate k = floor(log10 value) from the binary exponent and a first-order expansion
    // of log10 around 1.5; the constants are rounded so that the estimate is never too
    // small, and at most one too large.
    int shift = std::countl_zero(b.f) - 11;
    uint64_t f = b.f << shift;
    int binary_exponent = b.e - shift + 52;
    double d2 = double(f) / double(kHidden);
    double ds = (d2 - 1.5) * 0.289529654602168 + 0.1760912590558 +
                binary_exponent * 0.301029995663981;
    int k = int(ds);
    if (ds < 0 && ds != k) --k;
    bool k_check = true;
    if (k >= 0 && k <= kMaxExactTen) {
        if (value < kTens[k]) --k;
        k_check = false;
    }

    bool shortest = precision <= 0;
    bool closer = shortest && b.lower_closer();
    // value / 10^k = b / S with b = f · 2^b2 · 5^b5 and S = 2^s2 · 5^s5; the boundaries
    // are 2^(e-1) (and 2^(e-2) below a power of two) on the same scale.
    int b2 = b.e, b5 = 0, s2 = 0, s5 = 0;
    if (k >= 0) {
        s5 = k;
        s2 = k;
    } else {
        b5 = -k;
        b2 -= k;
    }
    int lo2 = b2 - 1 - closer;
    int common = std::min({b2, s2, shortest ? lo2 : b2});
    b2 -= common;
    s2 -= common;
    lo2 -= common;

    Big S(1);
    S.mul_pow5(s5);
    S.shl(s2);
    int normalise = (28 - S.top_bits()) & 31;
    S.shl(normalise);
    Big r(b.f);
    r.mul_pow5(b5);
    r.shl(b2 + normalise);
    Big mlo, mhi_store;
    if (shortest) {
        mlo.set(1);
        mlo.mul_pow5(b5);
        mlo.shl(lo2 + normalise);
        if (closer) {
            mhi_store = mlo;
            mhi_store.shl(1);
        }
    }
    Big& mhi = closer ? mhi_store : mlo;
    if (k_check && Big::compare(r, S) < 0) {
        --k;
        r.mul_add(10);
        if (shortest) {
            mlo.mul_add(10);
            if (closer) mhi.mul_add(10);
        }
    }
    point = k + 1;
    length = 0;

    if (shortest) {
        // Boundaries belong to the interval when f is even: ties read back to it.
        bool even = (b.f & 1) == 0;
        for (;;) {
            uint32_t d = r.quotient_digit(S);
            int j = Big::compare(r, mlo);
            int j1 = Big::compare_sum(r, mhi, S);
            bool down_ok = j < 0 || (j == 0 && even);
            bool up_ok = j1 > 0 || (j1 == 0 && even);
            if (!down_ok && !up_ok) {
                out[length++] = char('0' + d);
                r.mul_add(10);
                mlo.mul_add(10);
                if (closer) mhi.mul_add(10);
                continue;
            }
            bool up = up_ok;
            if (down_ok && up_ok) {
                int c = Big::compare_sum(r, r, S);
                up = c > 0 || (c == 0 && (d & 1));
            }
            out[length++] = char('0' + d);
            if (up) round_up(out, length, point);
            break;
        }
    } else {
        for (int i = 1;; ++i) {
            uint32_t d = r.quotient_digit(S);
            out[length++] = char('0' + d);
            if (r.zero()) break;
            if (i == precision) {
                int c = Big::compare_sum(r, r, S);
                if (c > 0 || (c == 0 && (d & 1))) round_up(out, length, point);
                break;
            }
            r.mul_add(10);
        }
    }
    while (length > 1 && out[length - 1] == '0') --length;
}

void set_text(Digits& d, const char* text, int point) {
    size_t n = std::strlen(text);
    std::memcpy(d.text, text, n + 1);
    d.length = uint8_t(n);
    d.point = int16_t(point);
}

Digits convert(double value, int precision, bool keep_point, bool exact_only) {
    Digits d;
    uint64_t bits = std::bit_cast<uint64_t>(value);
    d.negative = bits >> 63;
    uint64_t magnitude = bits & ~(uint64_t(1) << 63);
    if (magnitude >= kInfinityBits) {
        set_text(d, magnitude > kInfinityBits ? "1.#NaN" : d.negative ? "-1.#INF" : "1.#INF",
                 kSpecialPoint);
        return d;
    }
    if (magnitude == 0) {
        set_text(d, keep_point ? (d.negative ? "-0.0" : "0.0") : (d.negative ? "-0" : "0"),
                 kZeroPoint);
        return d;
    }
    precision = std::min(precision, kMaxPrecision);
    Binary b = binary_of(bits);
    int length = 0, point = 0;
    bool done = false;
    if (!exact_only) {
        done = whole_digits(b, precision, d.text, length, point);
        if (!done && b.normal()) {
            if (precision <= 0) done = fast_shortest(b, d.text, length, point);
            else if (precision <= 17) done = fast_fixed(b, precision, d.text, length, point);
        }
    }
    if (!done)
        exact_digits(std::bit_cast<double>(magnitude), b, precision, d.text, length, point);
    d.text[length] = 0;
    d.length = uint8_t(length);
    d.point = int16_t(point);
    return d;
}

// ---- text to float ----

// What the syntax scan found: the value is D · 10^q, D the n significant digits from `sig`
// (skipping the point) less its trailing zeros; w holds the first nw of them, at most 19.
struct Scan {
    const char* sig;
    int64_t n;
    int64_t q;
    uint64_t w;
    int nw;
};

// Decimal digits beyond this count only as a nonzero tail: no halfway point between two
// doubles has more than 768 significant digits, so a tail beyond 800 cannot move a
// comparison with one except as the digit 1 appended.
constexpr int64_t kMaxDigits = 800;

// value = D · 10^q compared with numbers h · 2^h2 in big integers.
class DecimalSide {
public:
    explicit DecimalSide(const Scan& s) {
        int64_t taken = std::min(s.n, kMaxDigits);
        uint32_t chunk = 0;
        int chunk_digits = 0;
        for (const char* p = s.sig; taken > 0; ++p) {
            if (*p == '.') continue;
            chunk = chunk * 10 + uint32_t(*p - '0');
            --taken;
            if (++chunk_digits == 9) {
                left_.mul_add(1000000000, chunk);
                chunk = 0;
                chunk_digits = 0;
            }
        }
        if (chunk_digits) left_.mul_add(uint32_t(kPow10[chunk_digits]), chunk);
        int64_t exponent = s.q;
        if (s.n > kMaxDigits) {
            left_.mul_add(10, 1);
            exponent += s.n - kMaxDigits - 1;
        }
        int q = int(exponent);  // within -1124 to 310: the caller handled the rest
        // D · 10^q = D · 5^q · 2^q; for q < 0 the fives move to the other side.
        fives_.set(1);
        if (q >= 0) {
            left_.mul_pow5(q);
            left2_ = q;
        } else {
            fives_.mul_pow5(-q);
            right2_ = -q;
        }
    }

    int compare(uint64_t h, int h2) const {
        Big right = fives_;
        right.mul_u64(h);
        int r2 = h2 + right2_;
        if (left2_ >= r2) {
            Big left = left_;
            left.shl(left2_ - r2);
            return Big::compare(left, right);
        }
        right.shl(r2 - left2_);
        return Big::compare(left_, right);
    }

private:
    Big left_, fives_;
    int left2_ = 0, right2_ = 0;
};

// w · 10^q ≈ mant · 2^e2, mant in [2^52, 2^53) cut from the 128 high bits of the product
// with the power; `rest` holds the bits below mant and `low` the 64 bits under those.
struct Product {
    uint64_t mant;
    int e2;
    u128 rest, half;
    uint64_t low;
};

Product product(uint64_t w, int q) {
    int lz = std::countl_zero(w);
    const Power& p = powers()[q];
    Wide z = multiply(w << lz, p);
    u128 top = u128(z.w2) << 64 | z.w1;
    int drop = (z.w2 >> 63) ? 75 : 74;
    Product r;
    r.mant = uint64_t(top >> drop);
    r.rest = top & ((u128(1) << drop) - 1);
    r.half = u128(1) << (drop - 1);
    r.low = z.w0;
    r.e2 = p.exp2 - lz + 64 + drop;
    return r;
}

// The double nearest w · 10^q (w > 0) when the product decides it: the result is normal
// or overflows, and the bits below the mantissa are not within the power's error of a
// halfway point. With an exact power (0 ≤ q ≤ 55) every case is decided, ties included.
bool round_product(uint64_t w, int q, uint64_t& bits) {
    Product r = product(w, q);
    if (r.e2 < kMinExp) return false;
    bool up;
    if (q >= 0 && q <= 55) {
        if (r.rest != r.half) up = r.rest > r.half;
        else up = r.low != 0 || (r.mant & 1);
    } else if (r.rest > r.half) {
        up = true;
    } else if (r.rest + 3 <= r.half) {
        up = false;
    } else {
        return false;
    }
    uint64_t mant = r.mant + up;
    int e2 = r.e2;
    if (mant == kHidden << 1) {
        mant = kHidden;
        ++e2;
    }
    bits = e2 > kMaxExp ? kInfinityBits : bits_of(mant, e2);
    return true;
}

// The correction step: from an approximation within a few units in the last place, compare the
// decimal exactly with the halfway points above and below and step until it lies between
// them; ties go to the even mantissa.
uint64_t correct(const Scan& s) {
    Product r = product(s.w, int(s.q + (s.n - s.nw)));
    uint64_t m = r.mant;
    int e = r.e2;
    if (e < kMinExp) {
        int gap = kMinExp - e;
        m = gap >= 64 ? 0 : m >> gap;
        e = kMinExp;
    } else if (e > kMaxExp) {
        m = (kHidden << 1) - 1;
        e = kMaxExp;
    }
    DecimalSide side(s);
    for (;;) {
        int c = side.compare(2 * m + 1, e - 1);
        if (c > 0 || (c == 0 && (m & 1))) {
            if (++m == kHidden << 1) {
                m = kHidden;
                if (++e > kMaxExp) return kInfinityBits;
            }
            if (c > 0) continue;
            break;
        }
        if (c == 0 || m == 0) break;
        bool closer = m == kHidden && e > kMinExp;
        int c2 = closer ? side.compare(4 * m - 1, e - 2) : side.compare(2 * m - 1, e - 1);
        if (c2 < 0 || (c2 == 0 && (m & 1))) {
            if (--m < kHidden && e > kMinExp) {
                m = (kHidden << 1) - 1;
                --e;
            }
            if (c2 < 0) continue;
        }
        break;
    }
    return bits_of(m, e);
}

constexpr int64_t kExponentCap = 1000000000;

bool digit_q(char c) { return c >= '0' && c <= '9'; }

const char* skip_digits(const char* p, const char* end) {
    while (p < end && digit_q(*p)) ++p;
    return p;
}

double parse_text(const char* start, const char* end, int extra_exponent, size_t& left,
                  bool exact_only) {
    const char* p = start;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* number = p;
    while (p < end && *p == '0') ++p;
    if (end - p >= 4 && p[0] >= '1' && p[0] <= '9' && p[1] == '.' && p[2] == '#') {
        char c = p[3];
        if (c == 'I' || c == 'i') {
            left = 0;
            return with_sign(negative, kInfinityBits);
        }
        if (c == 'N' || c == 'n') {
            left = 0;
            return std::bit_cast<double>(kQuietNaNBits);
        }
    }

    // A whole part (its leading zeros skipped above), then a point and a fraction.
    const char* whole = p;
    const char* whole_end = skip_digits(p, end);
    const char* fraction = whole_end;
    const char* fraction_end = whole_end;
    if (whole_end < end && *whole_end == '.') {
        fraction = whole_end + 1;
        fraction_end = skip_digits(fraction, end);
    }
    if (whole == number && whole_end == whole && fraction_end == fraction) {
        left = size_t(end - start);
        return 0.0;
    }
    p = fraction_end;

    // The significant digits run from sig to fraction_end, past the point if they start in
    // the whole part; trailing zeros only move the exponent.
    const char* sig = whole;
    int64_t count = (whole_end - whole) + (fraction_end - fraction);
    if (whole == whole_end) {
        sig = fraction;
        while (sig < fraction_end && *sig == '0') ++sig;
        count = fraction_end - sig;
    }
    int64_t zeros = 0;
    const char* back = fraction_end;
    while (back > std::max(sig, fraction) && back[-1] == '0') --back;
    zeros = fraction_end - back;
    if (back == fraction && sig < whole_end) {
        back = whole_end;
        while (back > sig && back[-1] == '0') --back;
        zeros += whole_end - back;
    }
    Scan s{sig, count - zeros, 0, 0, int(std::min<int64_t>(count - zeros, 19))};
    const char* d = sig;
    for (int i = 0; i < s.nw; ++i, ++d) {
        if (*d == '.') ++d;
        s.w = s.w * 10 + uint64_t(*d - '0');
    }

    int64_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E') && end - p > 1) {
        const char* e = p + 1;
        bool minus = false;
        if (*e == '+' || *e == '-') minus = *e++ == '-';
        if (e < end && digit_q(*e)) {
            for (; e < end && digit_q(*e); ++e)
                if (exponent < kExponentCap) exponent = exponent * 10 + (*e - '0');
            if (minus) exponent = -exponent;
            p = e;
        }
    }
    left = size_t(end - p);
    if (s.n == 0) return with_sign(negative, 0);

    s.q = exponent + extra_exponent - (fraction_end - fraction) + zeros;
    if (s.n + s.q > 310) return with_sign(negative, kInfinityBits);  // at least 10^310
    if (s.n + s.q < -323) return with_sign(negative, 0);  // below 10^-324, under half the least
    bool cut = s.n > s.nw;
    int qw = int(s.q + (s.n - s.nw));

    if (!exact_only) {
        // Both the digits and the power of ten exact in doubles: one rounding.
        if (!cut && s.w <= uint64_t(1) << 53) {
            double x = double(s.w);
            if (qw >= 0 && qw <= kMaxExactTen) return negative ? -(x * kTens[qw]) : x * kTens[qw];
            if (qw < 0 && qw >= -kMaxExactTen) return negative ? -(x / kTens[-qw]) : x / kTens[-qw];
            if (qw > kMaxExactTen && qw <= kMaxExactTen + 15 &&
                s.w <= (uint64_t(1) << 53) / kPow10[qw - kMaxExactTen]) {
                x = double(s.w * kPow10[qw - kMaxExactTen]) * kTens[kMaxExactTen];
                return negative ? -x : x;
            }
        }
        uint64_t bits, bits_above;
        if (round_product(s.w, qw, bits) &&
            (!cut || (round_product(s.w + 1, qw, bits_above) && bits_above == bits)))
            return with_sign(negative, bits);
    }
    return with_sign(negative, correct(s));
}

}  // namespace

Digits digits(double value, int precision, bool keep_point) {
    return convert(value, precision, keep_point, false);
}

Digits digits_exact(double value, int precision, bool keep_point) {
    return convert(value, precision, keep_point, true);
}

Text form(double value, int precision, bool keep_point) {
    Digits d = digits(value, precision, keep_point);
    Text t;
    if (d.point >= kZeroPoint) {
        std::memcpy(t.text, d.text, sizeof d.text);
        t.length = d.length;
        return t;
    }
    // Every copy below has a fixed size, into and out of padded buffers: the compiler turns
    // them into a few moves, where copies of the exact lengths would become calls.
    constexpr size_t kRun = sizeof d.text;
    char s[2 * kRun] = {};
    std::memcpy(s, d.text, kRun);
    char buf[2 * kRun + 16];
    char* o = buf;
    if (d.negative) *o++ = '-';
    int n = d.length, p = d.point;
    if (p >= 18 || p < -6) {
        o[0] = s[0];
        o[1] = '.';
        std::memcpy(o + 2, s + 1, kRun);
        o += n + 1;
        if (n == 1) {
            if (keep_point) *o++ = '0';
            else --o;
        }
        *o++ = 'e';
        int x = p - 1;
        if (x < 0) {
            *o++ = '-';
            x = -x;
        }
        if (x >= 100) *o++ = char('0' + x / 100);
        if (x >= 10) *o++ = char('0' + x / 10 % 10);
        *o++ = char('0' + x % 10);
    } else if (p <= 0) {
        std::memset(o, '0', 8);
        o[1] = '.';
        o += 2 - p;
        std::memcpy(o, s, kRun);
        o += n;
    } else if (p < n) {
        std::memcpy(o, s, kRun);
        o[p] = '.';
        std::memcpy(o + p + 1, s + p, kRun);
        o += n + 1;
    } else {
        std::memcpy(o, s, kRun);
        std::memset(o + n, '0', 16);
        o += p;
        if (keep_point) {
            *o++ = '.';
            *o++ = '0';
        }
    }
    *o = 0;
    t.length = uint8_t(o - buf);
    std::memcpy(t.text, buf, sizeof t.text);
    return t;
}

double parse(const char* start, const char* end, int extra_exponent, size_t& left) {
    return parse_text(start, end, extra_exponent, left, false);
}

double parse_exact(const char* start, const char* end, int extra_exponent, size_t& left) {
    return parse_text(start, end, extra_exponent, left, true);
}

}  // namespace kaz::float_text
