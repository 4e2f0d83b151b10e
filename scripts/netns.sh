# SPDX-License-Identifier: MIT
# Sourced by the scripts that start the program or its tests: re-runs the
# calling script inside a private network namespace (as root with unshare,
# otherwise in a user namespace, otherwise through sudo), so that nothing they
# broadcast leaves this computer. Inside, it brings up loopback and the veth
# pairs named in VANTREL_VETH ("name=address/prefix ...").
if [ "${VANTREL_IN_NETNS:-}" != 1 ]; then
    export VANTREL_IN_NETNS=1
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare --net -- "$0" "$@"
    elif unshare --net --map-root-user true 2>/dev/null; then
        exec unshare --net --map-root-user -- "$0" "$@"
    else
        exec sudo --preserve-env=VANTREL_IN_NETNS,DISPLAY,XAUTHORITY,HOME unshare --net -- "$0" "$@"
    fi
fi

# A namespace made by unshare has only a loopback device, and it starts down.
if ip -o link show | grep -v -q ': lo:'; then
    echo "refusing to go on: this network namespace is not a private one" >&2
    exit 2
fi
ip link set lo up
for pair in ${VANTREL_VETH:-}; do
    name=${pair%%=*}
    ip link add "$name" type veth peer name "${name}p"
    ip addr add "${pair#*=}" broadcast + dev "$name"
    ip link set "$name" up
    ip link set "${name}p" up
    # The first pair also carries the route for the limited broadcast.
    ip route show default | grep -q . || ip route add default dev "$name"
done
