#include "signer/model/date_time_interval.h"

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstring>
#include <exception>

namespace quor::signer {

class DateTimeInterval::DateTimeIntervalImpl {
  public:
    DateTimeIntervalImpl(const boost::posix_time::ptime& b, const boost::posix_time::ptime& e)
        : begin(b), end(e) {}

    boost::posix_time::ptime begin;
    boost::posix_time::ptime end;
};

DateTimeInterval::DateTimeInterval(const boost::posix_time::ptime& begin,
                                   const boost::posix_time::ptime& end)
    : impl_(std::make_shared<const DateTimeIntervalImpl>(begin, end)) {}

const boost::posix_time::ptime& DateTimeInterval::begin() const {
    return impl_->begin;
}
const boost::posix_time::ptime& DateTimeInterval::end() const {
    return impl_->end;
}

namespace {

// Reads count decimal digits at text; -1 when one is not a digit.
int digits(const char* text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

boost::posix_time::ptime timeFromAsn1Text(const char* text) {
    const boost::posix_time::ptime invalid(boost::date_time::not_a_date_time);
    if (text == nullptr)
        return invalid;

    // Only the seconds forms with a literal "Z" are read: GeneralizedTime "YYYYMMDDHHMMSSZ"
    // (15 characters) and, for every other length, UTCTime "YYMMDDHHMMSSZ" (which then only fits
    // 13 characters). Fractions and explicit offsets give not-a-date-time.
    const std::size_t length = std::strlen(text);
    int year = 0;
    const char* rest = nullptr;
    if (length == 15) {
        year = digits(text, 4);
        rest = text + 4;
    } else if (length == 13) {
        year = digits(text, 2);
        // RFC 5280 4.1.2.5.1: a UTCTime year YY >= 50 is 19YY, YY < 50 is 20YY.
        if (year >= 0)
            year += year >= 50 ? 1900 : 2000;
        rest = text + 2;
    } else {
        return invalid;
    }
    const int month = digits(rest, 2);
    const int day = digits(rest + 2, 2);
    const int hour = digits(rest + 4, 2);
    const int minute = digits(rest + 6, 2);
    const int second = digits(rest + 8, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 ||
        rest[10] != 'Z') {
        return invalid;
    }
    if (hour > 23 || minute > 59 || second > 59)
        return invalid;
    try {
        // The date constructor checks year, month and day of month and throws otherwise.
        const boost::gregorian::date date(static_cast<unsigned short>(year),
                                          static_cast<unsigned short>(month),
                                          static_cast<unsigned short>(day));
        return boost::posix_time::ptime(date,
                                        boost::posix_time::time_duration(hour, minute, second));
    } catch (const std::exception&) {
        return invalid;
    }
}

boost::posix_time::ptime currentLocalTime() {
    return boost::posix_time::second_clock::local_time();
}

}  // namespace quor::signer
