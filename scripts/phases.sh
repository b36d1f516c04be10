# Phase timing for scripts/test.sh and .ci/run (sourced, not run):
#
#   phase NAME COMMAND...   runs COMMAND in this shell, returns its status and
#                           records its wall time and the CPU time (user+sys)
#                           of every process it started and waited for
#   phase_beside NAME OUT COMMAND...
#                           starts COMMAND in the background, its output into
#                           the file OUT; phase_join NAME waits for it, records
#                           its times (as /usr/bin/time measured them) and
#                           returns its status (in this shell, not a pipeline)
#   phase_table             prints the recorded phases and their total
#
# The CPU time is what getrusage(RUSAGE_CHILDREN) counts, as /usr/bin/time
# does: a daemon that leaves its parent (a persistent wineserver) is not in it.

phase_names=()
phase_walls=()
phase_cpus=()

# Hundredths of a second of CPU the processes this shell waited for have used,
# read from its own /proc entry: $(times) would run in a subshell of its own.
phase_cpu_now() {
  local stat fields
  read -r stat </proc/$$/stat
  read -ra fields <<<"${stat##*) }"
  # After "pid (comm) ": cutime and cstime are the 14th and 15th fields.
  echo $(( (fields[13] + fields[14]) * 100 / $(getconf CLK_TCK) ))
}

phase_now() { local t=${EPOCHREALTIME/[.,]/}; echo $(( t / 10000 )); }

phase() {
  local name=$1 wall0 cpu0 rc=0
  shift
  wall0=$(phase_now)
  cpu0=$(phase_cpu_now)
  "$@" || rc=$?
  phase_record "$name" $(( $(phase_now) - wall0 )) $(( $(phase_cpu_now) - cpu0 ))
  return $rc
}

# phase_record NAME WALL CPU (hundredths of a second): for work timed elsewhere.
phase_record() {
  phase_names+=("$1")
  phase_walls+=("$2")
  phase_cpus+=("$3")
}

declare -A beside_pids beside_outs
# A child's CPU joins this shell's count when the child is reaped, and bash
# reaps a background job as soon as it ends: inside whatever phase runs then.
# So the job, once its command is done, waits on a pipe until phase_join opens
# it and reaps it, and only its own row and the total count its CPU.
phase_beside() {
  local name=$1 out=$2
  shift 2
  rm -f "$out.gate" "$out.status" && mkfifo "$out.gate"
  ( /usr/bin/time -f '%e %U %S' -o "$out.time" "$@" >"$out" 2>&1
    echo $? >"$out.status"
    read -r _ <"$out.gate" ) &
  beside_pids[$name]=$!
  beside_outs[$name]=$out
}

phase_join() {
  local name=$1 out=${beside_outs[$1]} pid=${beside_pids[$1]} rc wall user sys
  while [ ! -s "$out.status" ] && kill -0 "$pid" 2>/dev/null; do sleep 0.5; done
  [ -s "$out.status" ] && echo >"$out.gate"
  wait "$pid"
  rc=$(cat "$out.status" 2>/dev/null || echo 1)
  rm -f "$out.gate"
  # /usr/bin/time's last line (a failed command's status comes before it).
  read -r wall user sys < <(tail -n 1 "$out.time") || true
  phase_record "$name" "$(awk -v s="${wall:-0}" 'BEGIN { printf "%d", s * 100 }')" \
               "$(awk -v u="${user:-0}" -v s="${sys:-0}" 'BEGIN { printf "%d", (u + s) * 100 }')"
  return "$rc"
}

phase_clock() { printf '%d:%02d' $(( $1 / 6000 )) $(( $1 / 100 % 60 )); }

# The total runs from when this file was sourced: phases may overlap.
phase_table() {
  local i
  printf '%-24s %8s %8s\n' phase wall cpu
  for i in "${!phase_names[@]}"; do
    printf '%-24s %8s %8s\n' "${phase_names[$i]}" "$(phase_clock "${phase_walls[$i]}")" \
           "$(phase_clock "${phase_cpus[$i]}")"
  done
  printf '%-24s %8s %8s\n' total "$(phase_clock $(( $(phase_now) - phase_start_wall )))" \
         "$(phase_clock $(( $(phase_cpu_now) - phase_start_cpu )))"
}

phase_start_wall=$(phase_now)
phase_start_cpu=$(phase_cpu_now)
