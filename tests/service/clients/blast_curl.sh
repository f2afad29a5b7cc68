#!/bin/sh
# A BLAST URL API client in POSIX shell over curl, as NCBI documents the protocol: submit with a
# form POST, read RID and RTOE from the QBlastInfo block, wait RTOE, poll SearchInfo, fetch the
# report. The same command line as blast_lwp.pl:
#
#   blast_curl.sh search --url URL --program P --database D --query Q --out FILE [options]
#   blast_curl.sh search --url URL --rid RID --out FILE [options]   (poll and fetch a held search)
#   blast_curl.sh delete --url URL --rid RID
#   blast_curl.sh rids --url URL --out FILE                          (CMD=DisplayRIDs)
#
# Submission: --put-format F, --hitlist-size N, --descriptions N, --alignments N, --ncbi-gi T|F,
# --threshold N, --megablast (MEGABLAST=on), --put NAME=VALUE. Results: --format F,
# --alignment-object, --results-file, --get NAME=VALUE, --delete. Manners: --tool, --email,
# --scale F (NCBI's 10 s between requests and 60 s between polls of one RID, times F).
# Bounds: --timeout S (one request), --deadline S (the whole search), --max-bytes N (an answer).
set -u

MIN_INTERVAL=10
POLL_INTERVAL=60

fail() {
  status=$1
  shift
  printf 'blast_curl: %s\n' "$*" >&2
  exit "$status"
}

# The server's text as one line of printable ASCII, cut short.
shown() {
  printf '%s' "$1" | head -c 300 | LC_ALL=C tr -c ' -~' '?'
}

now() { date +%s.%N; }

# Whether $1 > $2, as decimal numbers.
above() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 > b + 0) }'; }

sum() { awk -v a="$1" -v b="$2" -v c="${3:-1}" 'BEGIN { printf "%.6f", a + b * c }'; }

pause_until() {
  if above "$1" "$deadline"; then
    fail 1 "the search's deadline of $deadline_seconds s passed while waiting for $2"
  fi
  wait=$(awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.6f", a - b }')
  if above "$wait" 0; then sleep "$wait"; fi
}

action=${1:-}
case "$action" in
  search|delete|rids) shift ;;
  *) fail 2 "usage: blast_curl.sh search|delete|rids --url URL ..." ;;
esac

url="" program="" database="" query="" query_given="" out="" rid="" format="" put_format=""
hitlist="" descriptions="" alignments="" ncbi_gi="" threshold="" megablast="" alignment_object=""
results_file="" delete_after="" tool=blast_curl email=blast_curl@localhost scale=1 timeout=60
deadline_seconds=600 max_bytes=67108864
scratch=$(mktemp -d "${TMPDIR:-/tmp}/blast_curl.XXXXXX") || fail 1 "cannot make a scratch folder"
trap 'rm -rf "$scratch"' EXIT
trap 'exit 1' HUP INT TERM
: >"$scratch/put" && : >"$scratch/get"

while [ $# -gt 0 ]; do
  option=$1
  case "$option" in
    --megablast) megablast=on; shift; continue ;;
    --alignment-object) alignment_object=1; shift; continue ;;
    --results-file) results_file=1; shift; continue ;;
    --delete) delete_after=1; shift; continue ;;
  esac
  [ $# -ge 2 ] || fail 2 "$option needs a value"
  value=$2
  shift 2
  case "$option" in
    --url) url=$value ;;
    --program) program=$value ;;
    --database) database=$value ;;
    --query) query=$value; query_given=1 ;;
    --out) out=$value ;;
    --rid) rid=$value ;;
    --format) format=$value ;;
    --put-format) put_format=$value ;;
    --hitlist-size) hitlist=$value ;;
    --descriptions) descriptions=$value ;;
    --alignments) alignments=$value ;;
    --ncbi-gi) ncbi_gi=$value ;;
    --threshold) threshold=$value ;;
    --tool) tool=$value ;;
    --email) email=$value ;;
    --scale) scale=$value ;;
    --timeout) timeout=$value ;;
    --deadline) deadline_seconds=$value ;;
    --max-bytes) max_bytes=$value ;;
    --put|--get)
      case "$value" in
        [A-Za-z_]*=*) name=${value%%=*} ;;
        *) fail 2 "expected NAME=VALUE, received $(shown "$value")" ;;
      esac
      case "$name" in *[!A-Za-z0-9_]*) fail 2 "expected NAME=VALUE, received $(shown "$value")" ;; esac
      printf '%s\n' "$value" >>"$scratch/${option#--}" ;;
    *) fail 2 "unknown option $(shown "$option")" ;;
  esac
done

[ -n "$url" ] || fail 2 "--url is required"
[ -n "$out" ] || [ "$action" = delete ] || fail 2 "--out is required"
case "$url" in http://*|https://*) ;; *) fail 2 "--url must be http:// or https://, not $(shown "$url")" ;; esac
case "$rid" in *[!A-Za-z0-9]*) fail 2 "--rid must be letters and digits, not $(shown "$rid")" ;; esac
for number in "$scale" "$timeout" "$deadline_seconds" "$max_bytes"; do
  case "$number" in ''|*[!0-9.]*|*.*.*) fail 2 "expected a number, received $(shown "$number")" ;; esac
done
above "$timeout" 0 && above "$deadline_seconds" 0 && above "$max_bytes" 0 ||
  fail 2 "--timeout, --deadline and --max-bytes must be above 0"

deadline=$(sum "$(now)" "$deadline_seconds")
last_request=""
last_poll=""

# One request, paced after the previous one and bounded in time and size. $1 is POST or GET, the
# fields are NAME=VALUE lines in the file $2. Leaves the body in $scratch/body and the content
# type in $content_type; fails on transport and HTTP errors.
call() {
  method=$1
  fields=$2
  if [ -n "$last_request" ]; then pause_until "$(sum "$last_request" "$MIN_INTERVAL" "$scale")" "the pause between requests"; fi
  limit=$(awk -v t="$timeout" -v d="$deadline" -v n="$(now)" 'BEGIN { l = d - n; printf "%.3f", (t < l ? t : l) }')
  above "$limit" 0 || fail 1 "the search's deadline of $deadline_seconds s passed"
  set -- --silent --show-error --max-time "$limit" --connect-timeout "$limit" --max-redirs 0 \
    --proto =http,https --user-agent "$tool/1.0" --max-filesize "$max_bytes" --output "$scratch/body" \
    --write-out '%{http_code} %{content_type}' --url "$url"
  [ "$method" = GET ] && set -- "$@" --get
  # curl encodes each value itself; a NAME@FILE field sends the file's text, line ends and all.
  while IFS= read -r field || [ -n "$field" ]; do
    set -- "$@" --data-urlencode "$field"
  done <"$fields"
  set -- "$@" --data-urlencode "tool=$tool" --data-urlencode "email=$email"
  # A body past the limit is cut off by the file size limit (in 512-byte blocks), whether or not
  # the server announced its length.
  blocks=$(( (max_bytes + 511) / 512 + 1 ))
  written=$( (ulimit -f "$blocks" && exec curl "$@") 2>"$scratch/curl-error")
  code=$?
  last_request=$(now)
  case $code in
    0) ;;
    28) fail 1 "no answer from $(shown "$url") within $limit s" ;;
    63|153) fail 1 "the answer from $(shown "$url") exceeds $max_bytes bytes" ;;
    *) fail 1 "curl failed ($code) for $(shown "$url"): $(shown "$(cat "$scratch/curl-error")")" ;;
  esac
  if [ "$(wc -c <"$scratch/body")" -gt "$max_bytes" ]; then
    fail 1 "the answer from $(shown "$url") exceeds $max_bytes bytes"
  fi
  http_code=${written%% *}
  content_type=${written#* }
  case "$http_code" in
    2??) ;;
    *) text=$(error_text)
       fail 1 "HTTP $(shown "$http_code") from $(shown "$url")${text:+: $(shown "$text")}" ;;
  esac
}

# The text of the answer's element of class "error", as NCBI marks a refusal.
error_text() {
  tr '\n' ' ' <"$scratch/body" | head -c 1048576 |
    sed -n 's/.*<\([A-Za-z][A-Za-z0-9]*\)[^>]*class="[^"]*error[^"]*"[^>]*>\(.*\)/\2/p' |
    sed 's/<\/[A-Za-z][^>]*>.*//; s/<[^>]*>/ /g; s/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&#39;/'"'"'/g; s/&amp;/\&/g' |
    tr -s ' ' | sed 's/^ //; s/ $//'
}

# A key of the answer's QBlastInfo blocks.
info() {
  sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*\\([^[:space:]]*\\)[[:space:]]*\$/\\1/p" "$scratch/body" | head -n 1
}

save() {
  cp "$scratch/body" "$out" || fail 1 "cannot write $(shown "$out")"
}

field() { printf '%s=%s\n' "$1" "$2" >>"$scratch/fields"; }

submit() {
  [ -n "$program" ] && [ -n "$database" ] && [ -n "$query_given" ] ||
    fail 2 "--program, --database and --query are required to submit"
  : >"$scratch/fields"
  field CMD Put; field PROGRAM "$program"; field DATABASE "$database"
  # QUERY may hold line ends: it goes in a file of its own, read whole by curl.
  printf '%s' "$query" >"$scratch/query"
  [ -n "$put_format" ] && field FORMAT_TYPE "$put_format"
  [ -n "$hitlist" ] && field HITLIST_SIZE "$hitlist"
  [ -n "$descriptions" ] && field DESCRIPTIONS "$descriptions"
  [ -n "$alignments" ] && field ALIGNMENTS "$alignments"
  [ -n "$ncbi_gi" ] && field NCBI_GI "$ncbi_gi"
  [ -n "$threshold" ] && field THRESHOLD "$threshold"
  [ -n "$megablast" ] && field MEGABLAST on
  cat "$scratch/put" >>"$scratch/fields"
  printf 'QUERY@%s\n' "$scratch/query" >>"$scratch/fields"
  call POST "$scratch/fields"
  # NCBI's own example reads these two lines exactly so.
  rid=$(sed -n 's/^    RID = \(.*\)$/\1/p' "$scratch/body" | head -n 1)
  rtoe=$(sed -n 's/^    RTOE = \(.*\)$/\1/p' "$scratch/body" | head -n 1)
  if [ -z "$rid" ]; then
    text=$(error_text)
    fail 1 "the submission was refused: ${text:+$(shown "$text")}${text:-the page holds no RID}"
  fi
  case "$rid" in *[!A-Za-z0-9]*) fail 1 "the server answered a malformed RID $(shown "$rid")" ;; esac
  case "$rtoe" in ''|*[!0-9]*) fail 1 "the server answered a malformed RTOE $(shown "$rtoe")" ;; esac
  [ ${#rtoe} -le 9 ] || fail 1 "the server answered a malformed RTOE $(shown "$rtoe")"
  printf 'RID=%s\nRTOE=%s\n' "$rid" "$rtoe"
  pause_until "$(sum "$(now)" "$rtoe")" "the estimated time of the search"
}

poll() {
  printf 'CMD=Get\nFORMAT_OBJECT=SearchInfo\nRID=%s\n' "$rid" >"$scratch/fields"
  while :; do
    if [ -n "$last_poll" ]; then pause_until "$(sum "$last_poll" "$POLL_INTERVAL" "$scale")" "search $rid"; fi
    call GET "$scratch/fields"
    last_poll=$(now)
    status=$(info Status)
    case "$status" in
      WAITING) continue ;;
      READY) printf 'Status=READY\nThereAreHits=%s\n' "$(shown "$(info ThereAreHits)")"; return ;;
      FAILED|UNKNOWN)
        printf 'Status=%s\n' "$status"
        text=$(error_text)
        [ "$status" = FAILED ] && what=failed || what="is unknown (expired or deleted)"
        fail 1 "search $rid $what${text:+: $(shown "$text")}" ;;
      *) fail 1 "the status page of $rid holds no Status: $(shown "$(head -c 300 "$scratch/body")")" ;;
    esac
  done
}

fetch() {
  printf 'CMD=Get\nRID=%s\n' "$rid" >"$scratch/fields"
  [ -n "$format" ] && field FORMAT_TYPE "$format"
  [ -n "$alignment_object" ] && field FORMAT_OBJECT Alignment
  [ -n "$results_file" ] && field RESULTS_FILE on
  cat "$scratch/get" >>"$scratch/fields"
  while :; do
    call GET "$scratch/fields"
    case "$content_type" in
      [Tt][Ee][Xx][Tt]/[Hh][Tt][Mm][Ll]*)
        if grep -q QBlastInfoBegin "$scratch/body"; then
          # A results request for a running search answers the status page; the HTML report
          # itself carries Status=READY.
          status=$(info Status)
          if [ "$status" = WAITING ]; then
            last_poll=$(now)
            pause_until "$(sum "$last_poll" "$POLL_INTERVAL" "$scale")" "search $rid"
            continue
          fi
          text=$(error_text)
          [ "$status" = READY ] && [ -z "$text" ] ||
            fail 1 "the results of $rid are not there (Status=$(shown "$status"))${text:+: $(shown "$text")}"
        fi
        text=$(error_text)
        [ -z "$text" ] || fail 1 "the results request for $rid was refused: $(shown "$text")" ;;
    esac
    save
    printf 'Content-Type=%s\n' "$(shown "$content_type")"
    return
  done
}

drop() {
  printf 'CMD=Delete\nRID=%s\n' "$rid" >"$scratch/fields"
  call GET "$scratch/fields"
  text=$(error_text)
  [ -z "$text" ] || fail 1 "deleting $rid was refused: $(shown "$text")"
  printf 'Deleted=%s\n' "$rid"
}

case "$action" in
  rids)
    printf 'CMD=DisplayRIDs\n' >"$scratch/fields"
    call GET "$scratch/fields"
    save
    printf 'Content-Type=%s\n' "$(shown "$content_type")" ;;
  delete)
    [ -n "$rid" ] || fail 2 "--rid is required"
    drop ;;
  search)
    # A search taken up by its RID may have been polled by whoever submitted it a moment ago:
    # its first status request waits a poll interval too.
    if [ -n "$rid" ]; then last_poll=$(now); else submit; fi
    poll
    fetch
    [ -z "$delete_after" ] || drop ;;
esac
