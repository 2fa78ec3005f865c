#pragma once

#include <QString>

namespace quillmere::details {

// The texts of the Length, Bit rate and Rating details of audio and video files.

// "hh:mm:ss", rounded to the nearest second; empty for a length that is not positive.
QString lengthText(qint64 milliseconds);
// "320kbps"; empty for a rate that is not positive.
QString bitRateText(qint64 kilobitsPerSecond);
// "1 Star", "2 Stars" ... "5 Stars"; empty outside 1 to 5.
QString starsText(int stars);

// ID3 popularimeter (POPM) 0 to 255, where 0 means unrated.
int starsFromPopularimeter(int rating);
// A rating in percent, 0 to 100 (WM/SharedUserRating: 1, 25, 50, 75, 99).
int starsFromPercent(int percent);
// A RATING text of Vorbis comments or MP4 items: 1 to 5 stars, a percentage, or a fraction of 1.
int starsFromRatingText(const QString& text);

// The leading run of digits of a track number such as "3/12", or 0.
int leadingNumber(const QString& text);
// The year of a date such as "2019", "2019-05-01" or "2019-05-01T10:00:00Z", or 0.
int yearOfDate(const QString& text);

} // namespace quillmere::details
