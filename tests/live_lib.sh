# Sourced by the tests in shell: how they say that this machine cannot run
# them, how they fail, and how they tell where they are. QEV_LIVE_REQUIRED=1
# (CI sets it) makes a skip a failure.

# The machine lacks what the test needs: skip (CTest's code 77), saying why.
skip() {
  if [[ ${QEV_LIVE_REQUIRED:-} == 1 ]]; then
    echo "FAIL: this machine cannot run the test, and QEV_LIVE_REQUIRED=1: $*" >&2
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}

# Fails, saying why, with the end of the file $live_log when there is one.
fail() {
  echo "FAIL: $*" >&2
  if [[ -n ${live_log:-} && -s $live_log ]]; then
    echo "--- the end of $live_log:" >&2
    tail -n 40 "$live_log" >&2
  fi
  exit 1
}

# Names the step the test has come to, in its output and, since ctest shows
# that only at the test's end, in the file $QEV_PROGRESS, which scripts/test
# shows while its tests run.
step_started=$(date +%s)
step() {
  echo "== $*"
  [[ -z ${QEV_PROGRESS:-} ]] ||
    echo "$(basename "$0" .sh), $(($(date +%s) - step_started)) s in: $*" >>"$QEV_PROGRESS"
}

# For the image's tests: a value directory under $work that the image's
# user may read, `put VALUE` to rename a value into it, and `run_line TOOL`,
# the README's "TOOL run" line with that directory in place of /srv/qev.
# Needs $work and the working directory at the source's top.
value_volume() {
  value=$work/value
  mkdir "$value"
  chown 8792:8792 "$value"
}
put() { echo "$1" >"$value/current.tmp" && mv "$value/current.tmp" "$value/current"; }
run_line() {
  local line
  line=$(awk "/^$1 run/, !/\\\\$/" README.md)
  [[ $line == *"-v /srv/qev:/var/lib/qev:ro"* ]] || fail "no $1 run line in README.md"
  echo "${line//\/srv\/qev/$value}"
}
