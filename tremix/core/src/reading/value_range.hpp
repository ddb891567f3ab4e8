// The smallest and largest finite value of a run of values, as converting
// each value and comparing it with the ones before finds them: of equal
// values the first one seen stands (which tells -0.0 from 0.0).
//
// Values taken as decimal digits and a power of ten (as the exporters'
// default shapes are read) are compared without being converted: a value's
// place among the others follows from its exponent and digits alone, and
// converting is monotonic, so only the two that stand at the end are
// converted. Converting every value, a division each, took about two
// fifths of a walk over the values.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "decimal_scan.hpp"

namespace tremix::reading {

class ValueRange {
  public:
    // digits * 10^power, negated when `negative`; |power| at most 22, so
    // that the value is exact_scaled(digits, power, negative).
    void add_decimal(uint64_t digits, int power, bool negative) {
        int64_t key;
        if (digits >= 10'000'000 && digits < 100'000'000) [[likely]] {
            key = int64_t{power + 7 + kExponentBias} * 100'000'000 + static_cast<int64_t>(digits);
        } else if (digits >= 1'000'000 && digits < 10'000'000) {
            key = int64_t{power + 6 + kExponentBias} * 100'000'000 + static_cast<int64_t>(digits) * 10;
        } else if (digits == 0) {
            key = 0;
        } else {
            add(exact_scaled(digits, power, negative));
            return;
        }
        key = negative ? -key : key;
        const Decimal value{digits, power, negative};
        const bool lower = key < low_key_, higher = key > high_key_;
        if (lower) {
            low_key_ = key;
            low_ = Seen<Decimal>{value, seen_};
        }
        if (higher) {
            high_key_ = key;
            high_ = Seen<Decimal>{value, seen_};
        }
        if (lower || higher) set_leads();
        ++seen_;
    }

    // A number of a default shape (fixed_scientific_shape<Places>) whose
    // digits start at d, with its exponent as written; its power of ten,
    // written - Places, within what add_decimal takes. Its digits are read
    // whole only when it may stand beyond the values so far: with a first
    // digit not 0, its exponent and first three digits (its lead) put its
    // key within 10^5 keys, and most values lie well inside the range.
    template <int Places>
    [[gnu::always_inline]] void add_shaped(const char* d, int written, bool negative) {
        if (!add_within<Places>(d, negative)) [[unlikely]]
            add_decimal(fixed_scientific_digits<Places>(d), written - Places, negative);
    }

    // The same number seen, when its lead lies within the range (it then
    // is no new extreme): false, with nothing done, when it may be one.
    // Any exponent of two digits is told right by its lead, so the
    // caller needs to know its exponent only when it may be an extreme.
    template <int Places>
    [[gnu::always_inline]] bool add_within(const char* d, bool negative) {
        return add_within<Places>(d, -int64_t{negative});
    }
    // The same, the sign given as all bits set for a negative number, 0
    // for any other.
    template <int Places>
    [[gnu::always_inline]] bool add_within(const char* d, int64_t negative) {
        if (*d == '0') return false;
        // "D.DD" as written, first character highest: digits compare as
        // their bytes do, and the point is the same in every lead.
        uint32_t head;
        std::memcpy(&head, d, 4);
        const int64_t lead = int64_t{exponent_code(d + Places + 3)} << 32 | __builtin_bswap32(head);
        const int64_t signed_lead = lead ^ negative;
        if (static_cast<uint64_t>(signed_lead) - static_cast<uint64_t>(low_lead_) <= lead_span_) [[likely]] {
            ++seen_;
            return true;
        }
        return false;
    }

    // Any value; infinities and NaN are passed over.
    void add(double v) {
        if (v - v != 0.0) return;
        if (!doubles_ || v < low_double_.value) low_double_ = Seen<double>{v, seen_};
        if (!doubles_ || v > high_double_.value) high_double_ = Seen<double>{v, seen_};
        doubles_ = true;
        ++seen_;
    }

    bool finite() const { return decimals() || doubles_; }
    double minimum() const { return pick(low_, low_double_, [](double a, double b) { return a < b; }); }
    double maximum() const { return pick(high_, high_double_, [](double a, double b) { return a > b; }); }

  private:
    // Keys of normalised decimals: eight digits, the first not 0, after the
    // exponent of their first digit made positive. Zero is 0; a negative
    // value's key is its magnitude's negated.
    static constexpr int kExponentBias = 64;
    struct Decimal {
        uint64_t digits = 0;
        int power = 0;
        bool negative = false;
        double value() const { return exact_scaled(digits, power, negative); }
    };
    template <typename T>
    struct Seen {
        T value{};
        uint64_t order = 0;  // how many values came before it
    };

    bool decimals() const { return low_key_ != INT64_MAX; }

    // A lead stands for the keys whose first digits, key / 10^5, are the
    // same `prefix`: the biased exponent and the first three digits. It is
    // the exponent's code above 32 bits and below them the text "D.DD" of
    // those digits, first character highest, so that leads compare as
    // their prefixes do.
    static int64_t lead_of(int64_t prefix) {
        const auto digits = static_cast<uint32_t>(prefix % 1000);
        return int64_t{exponent_code_of(static_cast<int>(prefix / 1000) - kExponentBias)} << 32 |
               (uint32_t{'0'} + digits / 100) << 24 | uint32_t{'.'} << 16 | (uint32_t{'0'} + digits / 10 % 10) << 8 |
               (uint32_t{'0'} + digits % 10);
    }
    // An exponent of at most two digits as a number that rises with it,
    // read from its text as written (its sign and two digits at e) with
    // few steps: the two digits' bytes, the first one higher, mirrored
    // about "+00" for a negative exponent (so that "-00" is "+00"). From
    // 0x2727 ("-99") to 0x3939 ("+99").
    [[gnu::always_inline]] static int exponent_code(const char* e) {
        uint16_t two;
        std::memcpy(&two, e + 1, 2);
        const int code = static_cast<uint16_t>(two << 8 | two >> 8);
        return e[0] == '-' ? 0x6060 - code : code;
    }
    static int exponent_code_of(int exponent) {
        const int magnitude = exponent < 0 ? -exponent : exponent;  // below 100, as keys' exponents are
        const int code = ('0' + magnitude / 10) << 8 | ('0' + magnitude % 10);
        return exponent < 0 ? 0x6060 - code : code;
    }
    // The smallest signed lead (a lead, positive, or the complement of one,
    // ~lead = -lead - 1, for a negative value) whose keys all lie at or
    // above `key`: a positive lead's keys run from prefix * 10^5 to
    // prefix * 10^5 + 99'999, a negative one's are those negated. |key| is
    // below 10^11, as keys are.
    static int64_t lowest_lead_above(int64_t key) {
        if (key >= 0) return lead_of(key / 100'000 + (key % 100'000 > 0));
        const int64_t most = -key - 99'999;  // the prefix * 10^5 that must lie at or below it
        if (most < 0) return lead_of(0);     // no negative lead: the smallest positive one
        return ~lead_of(most / 100'000);
    }
    // The signed leads whose keys all lie from low_key_ to high_key_:
    // those from the smallest whose keys lie at or above low_key_ to the
    // largest whose keys lie at or below high_key_, which mirrors (~) the
    // smallest whose keys lie at or above -high_key_.
    void set_leads() {
        const int64_t low = lowest_lead_above(low_key_), high = ~lowest_lead_above(-high_key_);
        if (low <= high) {
            low_lead_ = low;
            lead_span_ = static_cast<uint64_t>(high) - static_cast<uint64_t>(low);
        } else {
            low_lead_ = INT64_MIN;  // none, as at first
            lead_span_ = 0;
        }
    }

    // Of the two ways' winners, the one `better` prefers, the earlier of
    // equal ones.
    template <typename Better>
    double pick(const Seen<Decimal>& decimal, const Seen<double>& other, Better better) const {
        if (!decimals()) return other.value;
        const double d = decimal.value.value();
        if (!doubles_) return d;
        if (better(d, other.value)) return d;
        if (better(other.value, d)) return other.value;
        return decimal.order < other.order ? d : other.value;
    }

    // No key lies this far out: the first decimal's key stands at once as
    // both, with no test per value of whether one was seen.
    int64_t low_key_ = INT64_MAX, high_key_ = INT64_MIN;
    // Signed leads from low_lead_ to low_lead_ + lead_span_ have keys
    // within the two above: none at first (no lead is INT64_MIN).
    int64_t low_lead_ = INT64_MIN;
    uint64_t lead_span_ = 0;
    Seen<Decimal> low_, high_;
    Seen<double> low_double_, high_double_;
    bool doubles_ = false;
    uint64_t seen_ = 0;
};

// A number of the shapes scan_scientific reads, read for a ValueRange: a
// default shape as where its digits start and its exponent as written
// (they are read only when the range needs them, so the text must stay
// until add_to), else its value.
struct ScannedValue {
    // 1 for a sign ('+' or '-'), 0 for any other byte.
    static constexpr auto kSignLength = [] {
        std::array<uint8_t, 256> length{};
        length['+'] = length['-'] = 1;
        return length;
    }();
    // All bits set for '-', 0 for any other byte: the sign ValueRange::add_within takes.
    static constexpr auto kNegative = [] {
        std::array<int64_t, 256> negative{};
        negative['-'] = -1;
        return negative;
    }();
    const char* digits_at = nullptr;
    int written = 0;
    int places = 0;  // 7 or 6 for a default shape, 0 for a value
    bool negative = false;
    double value = 0.0;

    // Its end, or null for any other text. Inline: a loop over values
    // reads them without a call. The bytes from `end` up to `limit` must
    // be commas, as where a line's text is read with the commas that end
    // it left out. `Behind`: the two bytes before p may be read too (a
    // field and its comma come before it).
    template <bool Behind = false>
    [[gnu::always_inline]] const char* scan(const char* p, const char* end, const char* limit) {
        const unsigned first = p < end ? static_cast<unsigned char>(*p) : 0u;
        negative = first == '-';
        const char* const d = p + kSignLength[first];
        // Powers of ten beyond 22 are read as values: a default shape's
        // extreme is converted from its digits and power alone.
        if (const char* stop = shape7(d, end, limit, Behind); stop && written >= -15 && written <= 29) {
            digits_at = d;
            places = 7;
            return stop;
        }
        if (const char* stop = fixed_scientific_shape<6>(d, end, written); stop && written >= -16 && written <= 28) {
            digits_at = d;
            places = 6;
            return stop;
        }
        places = 0;
        return scan_scientific_any(p, end, limit, value);
    }
    // fixed_scientific_shape<7> at d, from one block of sixteen bytes
    // where the text around it holds one.
    [[gnu::always_inline]] const char* shape7(const char* d, const char* end, const char* limit, bool behind) {
#if TREMIX_SSE2
        if (behind && limit - d >= 14) return fixed_scientific_shape7_block<2>(d, end, written);
        if (limit - d >= 16) return fixed_scientific_shape7_block<0>(d, end, written);
#else
        (void)limit;
        (void)behind;
#endif
        return fixed_scientific_shape<7>(d, end, written);
    }
    [[gnu::always_inline]] void add_to(ValueRange& range) const {
        if (places == 7) [[likely]] {
            range.add_shaped<7>(digits_at, written, negative);
        } else if (places == 6) {
            range.add_shaped<6>(digits_at, written, negative);
        } else {
            range.add(value);
        }
    }
};

}  // namespace tremix::reading
