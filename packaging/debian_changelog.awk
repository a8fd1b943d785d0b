# CHANGELOG.md as a Debian changelog: each "## VERSION (YYYY-MM-DD HH:MM UTC)"
# heading becomes an entry, each "- " item a "  * " item, its continuation
# lines kept. The time may be left out (midnight); Debian wants each entry
# later than the one before, which two releases on one day need it for.
# The newest version must be the project's, so a release cannot ship without
# its entry.
#   awk -v version=V -v maintainer="NAME <ADDRESS>" -v out=FILE -f packaging/debian_changelog.awk CHANGELOG.md

# RFC 2822 date; the weekday by Sakamoto's method.
function rfc2822(date, time,    part, y, m, d, wd) {
    split(date, part, "-")
    y = part[1] + 0; m = part[2] + 0; d = part[3] + 0
    if (m < 3) y -= 1
    wd = (y + int(y / 4) - int(y / 100) + int(y / 400) + substr("032503514624", m, 1) + d) % 7
    return substr("SunMonTueWedThuFriSat", wd * 3 + 1, 3) ", " sprintf("%02d", d) " " \
        substr("JanFebMarAprMayJunJulAugSepOctNovDec", (part[2] + 0) * 3 - 2, 3) " " part[1] \
        " " (time == "" ? "00:00" : time) ":00 +0000"
}

function close_entry() {
    if (entry) print "\n -- " maintainer "  " date > out
}

/^## / {
    if (!match($0, /^## [^ ]+ \([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]( [0-2][0-9]:[0-5][0-9] UTC)?\)$/)) {
        print FILENAME ":" FNR ": a version heading is \"## VERSION (YYYY-MM-DD[ HH:MM UTC])\"" > "/dev/stderr"
        failed = 1; exit 1
    }
    close_entry()
    if (!entry && $2 != version) {
        print FILENAME ": the newest version is " $2 ", the project's is " version > "/dev/stderr"
        failed = 1; exit 1
    }
    if (entry) print "" > out
    entry = $2
    date = rfc2822(substr($3, 2, 10), NF == 5 ? $4 : "")
    print "vexmora (" entry ") unstable; urgency=medium\n" > out
    next
}

!entry { next }

{ gsub(/`/, "") }
/^- / { print "  * " substr($0, 3) > out; next }
/^  [^ ]/ { print "    " substr($0, 3) > out; next }
/^$/ { next }
{
    print FILENAME ":" FNR ": neither an item (\"- \") nor its continuation (\"  \")" > "/dev/stderr"
    failed = 1; exit 1
}

END {
    if (failed) exit 1
    if (!entry) { print FILENAME ": no version heading" > "/dev/stderr"; exit 1 }
    close_entry()
}
