# Sourced by run.sh: result lines and their count, and the console's tail
# for a boot that failed. name is the scenario's.

passed=0 failed=0 skipped=0
name=
n_results=0
result() { # kind text
  case $1 in
  ok)
    passed=$((passed + 1))
    echo "ok $name: $2"
    ;;
  not_ok)
    failed=$((failed + 1))
    echo "not ok $name: $2"
    ;;
  skip)
    skipped=$((skipped + 1))
    echo "skip $name: $2"
    ;;
  esac
  n_results=$((n_results + 1))
}

# The results a plan promised and the boot did not give count as failed.
results_missing() { # plan
  local k=$n_results
  if [ -n "$1" ]; then
    while [ "$k" -lt "$1" ]; do
      result not_ok "result missing ($n_results of $1)"
      k=$((k + 1))
    done
  fi
  if [ "$n_results" -eq 0 ]; then
    result not_ok "no result"
  fi
}

console_tail() { # boot dir
  local lines
  lines=$(tr -d '\r' <"$1/console.log" | grep -v -e '^$' -e '@@rig:' |
    tail -n 40 || true)
  if [ -n "$lines" ]; then
    printf '%s\n' "$lines" | sed 's/^/# console: /'
  else
    echo "# console: empty"
  fi
}

summary() {
  if [ $skipped -gt 0 ]; then
    echo "# $skipped skipped"
  fi
  echo "$passed passed, $failed failed"
  [ $failed -eq 0 ]
}
