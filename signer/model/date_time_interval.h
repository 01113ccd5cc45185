// DateTimeInterval and the conversion of ASN.1 time texts to date-times.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <memory>

namespace quor::signer {

// A span between two date-times (no zone). Copies share one immutable implementation. The
// bounds are stored as given: no order is enforced and not-a-date-time is allowed.
class DateTimeInterval {
  public:
    DateTimeInterval(const boost::posix_time::ptime& begin, const boost::posix_time::ptime& end);

    const boost::posix_time::ptime& begin() const;
    const boost::posix_time::ptime& end() const;

  private:
    class DateTimeIntervalImpl;
    std::shared_ptr<const DateTimeIntervalImpl> impl_;
};

// Reads the character data of an OpenSSL ASN.1 time: 15 characters are GeneralizedTime
// "YYYYMMDDHHMMSSZ", any other length UTCTime "YYMMDDHHMMSSZ". The time is taken as written
// (UTC for certificates). A text that does not fit its format, an empty text or null gives
// not-a-date-time; nothing is thrown.
boost::posix_time::ptime timeFromAsn1Text(const char* text);

// The machine's local date-time to the second. Throws std::runtime_error "could not convert
// calendar time to local time" when the conversion fails.
boost::posix_time::ptime currentLocalTime();

}  // namespace quor::signer
