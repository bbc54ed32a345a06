#pragma once

namespace vexa {

// The creation settings a format's creator honours; any other it would drop without a word.
struct CreationAbilities {
    bool password = false;    // encrypts the data
    bool hiddenNames = false; // with a password, encrypts the names too
    bool volumes = false;     // splits the archive into parts
    bool level = false;       // takes a compression level from lowestLevel to highestLevel
    int lowestLevel = 0;
    int highestLevel = 0;

    bool operator==(const CreationAbilities&) const = default;
};

} // namespace vexa
