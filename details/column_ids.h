#pragma once

namespace quillmere::details::column {

// How many detail columns there are, and the first read from a file's embedded metadata (the
// ones before it come from the file system and the MIME database).
constexpr int Count = 41;
constexpr int FirstEmbedded = 12;

// The numbers of the detail columns.
enum : int {
    Name = 0,
    Size = 1,
    ItemType = 2,
    DateModified = 3,
    DateCreated = 4,
    DateAccessed = 5,
    Attributes = 6,
    Group = 7,
    LinkTarget = 8,
    PerceivedType = 9,
    Owner = 10,
    Kind = 11,
    DateTaken = 12,
    ContributingArtists = 13,
    Album = 14,
    Year = 15,
    Genre = 16,
    Conductors = 17,
    Tags = 18,
    Rating = 19,
    Authors = 20,
    Title = 21,
    Subject = 22,
    Categories = 23,
    Comments = 24,
    Copyright = 25,
    TrackNumber = 26,
    Length = 27,
    BitRate = 28,
    Composers = 29,
    CameraModel = 30,
    Dimensions = 31,
    CameraMaker = 32,
    Company = 33,
    FileDescription = 34,
    ProgramName = 35,
    Pages = 36,
    LensModel = 37,
    FStop = 38,
    ExposureTime = 39,
    IsoSpeed = 40,
};

} // namespace quillmere::details::column
