# Sourced: exports each NAME=value of emulator.env that the environment does
# not set already.
while IFS='=' read -r name value; do
    case "$name" in ''|'#'*) continue ;; esac
    [ -n "${!name:-}" ] || export "$name=$value"
done < "$(dirname "${BASH_SOURCE[0]}")/emulator.env"
