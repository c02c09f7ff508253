#!/usr/bin/env bash
# Runs a test binary with its environment closed off from the user's: run-isolated.sh ROOT CMD...
set -eu
root=$1
shift
mkdir -p "$root/home" "$root/data" "$root/config" "$root/cache" "$root/tmp"

for v in $(compgen -e); do
  case $v in
    VELTOVOICE_LM_*) unset "$v" ;;
  esac
done
unset MODEL_REGISTRY_URL HF_TOKEN HUGGING_FACE_HUB_TOKEN HUGGINGFACEHUB_API_TOKEN \
      http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY VELTOVOICE_DEMO \
      TESSEL_CBW_TAPER_PIVOT TESSEL_CBW_TAPER_EXP TESSEL_SPOTTER_MIN_SIM TESSEL_SPOTTER_MIN_SIM_MULTI \
      TESSEL_SPOTTER_RESCUE

export HOME=$root/home
export XDG_DATA_HOME=$root/data
export XDG_CONFIG_HOME=$root/config
export XDG_CACHE_HOME=$root/cache
export TMPDIR=$root/tmp
export REGISTRY_URL=http://127.0.0.1:9
export QT_QPA_PLATFORM=offscreen
export TZ=${VELTO_TEST_TZ:-Asia/Tokyo}
export LC_ALL=C.UTF-8
# Cases run side by side already; a BLAS pool per case only spins against its neighbours.
export OPENBLAS_NUM_THREADS=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$(dirname "$0")/lsan.supp:print_suppressions=0}
exec "$@"
