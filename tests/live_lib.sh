# Sourced by the live tests: how they say that this machine cannot run them,
# and how they fail. QEV_LIVE_REQUIRED=1 (CI sets it) makes a skip a failure.

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
