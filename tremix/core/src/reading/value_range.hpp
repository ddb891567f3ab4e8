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
        }
        if (key > high_key_) {
            high_key_ = key;
            high_ = Seen<Decimal>{value, seen_};
        }
        ++seen_;
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
    Seen<Decimal> low_, high_;
    Seen<double> low_double_, high_double_;
    bool doubles_ = false;
    uint64_t seen_ = 0;
};

// A number of the shapes scan_scientific reads, read for a ValueRange:
// its digits and power when it is of a default shape, else its value.
struct ScannedValue {
    uint64_t digits = 0;
    int power = 0;
    bool negative = false;
    bool decimal = false;
    double value = 0.0;

    // Its end, or null for any other text. Inline: a loop over values
    // reads them without a call.
    [[gnu::always_inline]] const char* scan(const char* p, const char* end, const char* limit) {
        negative = p < end && *p == '-';
        const char* const d = p + (p < end && (*p == '+' || *p == '-'));
        if (const char* stop = default_scientific(d, end, digits, power); stop && power >= -22 && power <= 22) {
            decimal = true;
            return stop;
        }
        decimal = false;
        return scan_scientific_any(p, end, limit, value);
    }
    void add_to(ValueRange& range) const {
        if (decimal) {
            range.add_decimal(digits, power, negative);
        } else {
            range.add(value);
        }
    }
};

}  // namespace tremix::reading
