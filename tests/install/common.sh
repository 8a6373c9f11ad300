# Shared by the install tests: a scratch folder removed at exit, failures
# counted rather than ending the test at the first.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_file() { [ -f "$1" ] || fail "missing $1"; }
# expect_exactly WHAT GOT WANT: the two texts are equal, else the difference.
expect_exactly() {
    [ "$2" = "$3" ] || fail "$1 differs (- wanted, + got):"$'\n'"$(diff <(echo "$3") <(echo "$2") | grep '^[<>]' | sed 's/^</-/; s/^>/+/')"
}
# build_c_client SRC OUT [FLAGS...]: the driver's C client, built with what
# pkg-config (as set up by the caller) gives for usbserial.
build_c_client() {
    local src=$1 out=$2
    shift 2
    # shellcheck disable=SC2046 # pkg-config's output is a list of words
    cc -std=c11 -pedantic -Werror "$@" $(pkg-config --cflags usbserial) "$src/tests/capi/c_client.c" \
       $(pkg-config --libs usbserial) -o "$out" || fail "C client does not build against usbserial.pc"
}
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$1: $failures failed"
        exit 1
    fi
    echo "$1: all passed"
}
