# The system's apt entries, read the one way the tools share (sourced by tools/fetch-nvidia-userspace
# and tools/windows-check); nothing here changes the system's configuration.

# The entries of sources files (one-line files, and deb822 files named *.sources) as one-line entries.
source_entries() {
  local f
  for f in "$@"; do
    [[ -f $f ]] || continue
    if [[ $f != *.sources ]]; then
      awk '$1 == "deb" { print }' "$f"
      continue
    fi
    # One paragraph per entry; continuation lines (an inline key) are left out.
    awk 'function flush() {
           if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris != "") {
             n = split(uris, u, " "); m = split(suites, s, " ")
             for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
               print "deb " (signed ~ /^\// ? "[signed-by=" signed "] " : "") u[i] " " s[j] " " components
           }
           types = uris = suites = components = signed = enabled = ""
         }
         /^[ \t]*$/ { flush(); next }
         /^[ \t]*#/ || /^[ \t]/ { next }
         { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, ""); value = $0
           if (key == "types") types = value; else if (key == "uris") uris = value
           else if (key == "suites") suites = value; else if (key == "components") components = value
           else if (key == "signed-by") signed = value; else if (key == "enabled") enabled = tolower(value) }
         END { flush() }' "$f"
  done
}

# The system's apt entries as one-line entries: /etc/apt/sources.list and the files of sources.list.d.
system_source_entries() {
  source_entries /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources
}

# The URI of the system's first Debian archive entry (.../debian); empty when it has none.
debian_archive_uri() {
  system_source_entries | awk '{ i = 2; if ($2 ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                                 if ($i ~ /\/debian\/?$/) { print $i; exit } }'
}
