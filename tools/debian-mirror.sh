# Sourced by the providers that fetch from Debian's archive (tools/python-forky.sh,
# tools/python-source.sh, tools/python-bullseye.sh): which Debian mirror to use.
#
# debian_mirror prints QUAVIX_DEBIAN_MIRROR when that is set, or else the first Debian archive
# (not its security archive) that this machine's apt sources name. A Debian archive is told from
# another distribution's (Ubuntu's, say) by the label of its Release file where apt-get update has
# fetched that, and otherwise by its suite, which must be one of Debian's. Where there is none it
# says so, naming QUAVIX_DEBIAN_MIRROR, and fails. apt's own configuration says where its sources
# are (APT_CONFIG included); nothing of it is changed.

debian_suites='buster|bullseye|bookworm|trixie|forky|duke|sid|oldoldstable|oldstable|stable|testing|unstable'

# "URI SUITE" for each deb entry of the machine's apt sources, one-line and deb822 formats.
debian_mirror_sources() {
    local list=/etc/apt/sources.list parts=/etc/apt/sources.list.d
    eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d 2>/dev/null)"
    cat "$list" "${parts%/}"/*.list 2>/dev/null | awk '
        $1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                      print $i, $(i + 1) }'
    cat "${parts%/}"/*.sources 2>/dev/null | awk '
        function flush(  n, m, a, b, j, k) {
            if (t ~ /(^| )deb( |$)/) {
                n = split(u, a, " "); m = split(s, b, " ")
                for (j = 1; j <= n; j++) for (k = 1; k <= m; k++) print a[j], b[k]
            }
            t = ""; u = ""; s = ""
        }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush(); next }
        /^Types:/ { t = $0; sub(/^Types:[ \t]*/, "", t) }
        /^URIs:/ { u = $0; sub(/^URIs:[ \t]*/, "", u) }
        /^Suites:/ { s = $0; sub(/^Suites:[ \t]*/, "", s) }
        END { flush() }'
}

debian_mirror() {
    if [ -n "${QUAVIX_DEBIAN_MIRROR:-}" ]; then
        printf '%s\n' "$QUAVIX_DEBIAN_MIRROR"
        return 0
    fi
    local uri
    # shellcheck disable=SC2016
    uri=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 'Target-Of: deb' 2>/dev/null | head -n 1)
    if [ -z "$uri" ]; then
        uri=$(debian_mirror_sources | awk -v suites="^($debian_suites)(-updates|-backports|-proposed-updates)?\$" \
            '$2 ~ suites { print $1; exit }')
    fi
    if [ -z "$uri" ]; then
        say "no Debian mirror found in this machine's apt sources (none of them is a Debian archive)."
        say "name one with QUAVIX_DEBIAN_MIRROR, for example QUAVIX_DEBIAN_MIRROR=http://deb.debian.org/debian, and run again."
        return 1
    fi
    printf '%s\n' "$uri"
}
