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

#include <cstdint>

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
        if (key < low_key_) {
            low_key_ = key;
            low_ = Seen<Decimal>{value, seen_};
            low_lead_ = lowest_lead_above(key);
        }
        if (key > high_key_) {
            high_key_ = key;
            high_ = Seen<Decimal>{value, seen_};
            high_lead_ = -lowest_lead_above(-key);
        }
        ++seen_;
    }

    // A number of a default shape (fixed_scientific_shape<Places>) whose
    // digits start at d, with its exponent as written; its power of ten,
    // written - Places, within what add_decimal takes. Its digits are read
    // whole only when it may stand beyond the values so far: with a first
    // digit not 0, its exponent and first two digits (its lead) put its key
    // within 10^6 keys, and most values lie well inside the range.
    template <int Places>
    [[gnu::always_inline]] void add_shaped(const char* d, int written, bool negative) {
        if (*d != '0') [[likely]] {
            const int64_t lead = int64_t{written + kExponentBias} * 100 + (d[0] - '0') * 10 + (d[2] - '0');
            const int64_t signed_lead = negative ? -lead : lead;
            if (signed_lead >= low_lead_ && signed_lead <= high_lead_) [[likely]] {
                ++seen_;
                return;
            }
        }
        add_decimal(fixed_scientific_digits<Places>(d), written - Places, negative);
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

    // The smallest signed lead (a lead negated for a negative value) whose
    // keys all lie at or above `key`: a positive lead's keys run from
    // lead * 10^6 up, a negative one's from lead * 10^6 - 999'999. |key|
    // is below 10^11, as keys are.
    static int64_t lowest_lead_above(int64_t key) {
        const int64_t from = key > 0 ? key : key + 999'999;  // the lead * 10^6 that must lie at or above it
        return from / 1'000'000 + (from % 1'000'000 > 0);
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
    // Signed leads from low_lead_ to high_lead_ have keys within the two
    // above: none at first.
    int64_t low_lead_ = INT64_MAX, high_lead_ = INT64_MIN;
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
    const char* digits_at = nullptr;
    int written = 0;
    int places = 0;  // 7 or 6 for a default shape, 0 for a value
    bool negative = false;
    double value = 0.0;

    // Its end, or null for any other text. Inline: a loop over values
    // reads them without a call.
    [[gnu::always_inline]] const char* scan(const char* p, const char* end, const char* limit) {
        negative = p < end && *p == '-';
        const char* const d = p + (p < end && (*p == '+' || *p == '-'));
        // Powers of ten beyond 22 are read as values: a default shape's
        // extreme is converted from its digits and power alone.
        if (const char* stop = fixed_scientific_shape<7>(d, end, written); stop && written >= -15 && written <= 29) {
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
