# Turns the agent's and the simulated platform's logs (from tail -F) into
# one line per step a person can follow.
function short(s) { return length(s) > 150 ? substr(s, 1, 147) "..." : s }
function say(who, what) { printf "  %-9s %s\n", who, what; fflush() }
# The platform's side carries the cookie, secret and broker password it
# hands out; a screen shared in the field must not show them.
function mask(s,   i, k) {
    for (i = 1; i <= nkey; i++) {
        k = key[i]
        gsub("\\\\?\"" k "\\\\?\":[ ]*\\\\?\"[^\"\\\\]*\\\\?\"", "\"" k "\":\"***\"", s)
    }
    return s
}
BEGIN {
    split("OVIMAR_HTTPS_AUTH OVIMAR_HTTPS_GET_SERVER OVIMAR_MQTT_CONNECT " \
          "OVIMAR_MQTT_CONNECTING OVIMAR_MQTT_RECONNECT OVIMAR_MQTT_CONNECTED " \
          "OVIMAR_MQTT_APP_AUTH 7 OVIMAR_FINISHED", name, " ")
    nkey = split("cookie secret password Password", key, " ")
}
/^==> .*agent.log <==$/ { src = "agent"; next }
/^==> .*platform.log <==$/ { src = "platform"; next }
/^==> / { src = ""; next }
# logread's lines: the message after the tag.
src == "agent" { sub(/^.* ovimar\[[0-9]+\]: /, "") }
src == "agent" && /change state machines to:/ {
    split($0, a, /to:| from:/)
    say("agent", "state " a[3] " -> " a[2] " " name[a[2] + 1])
    next
}
src == "agent" && /^succeed to https auth/ { say("agent", "logged in (devAuth), cookie kept"); next }
src == "agent" && /^succeed to https get_server/ { say("agent", "broker record stored in UCI ovimar.mqtt"); next }
src == "agent" && /^succeed to mqtt devInfoSync/ { say("agent", "platform acknowledged devInfoSync"); next }
src == "agent" && /^ubus_isp_event_handler data:/ { say("agent", "event from the carrier service: " short(substr($0, 29))); next }
src == "agent" && /^bind success/ { say("agent", "bound: devId and secret in UCI ovimar.status; logs in again"); next }
src == "agent" && /^receive unBind request from server/ { say("agent", "platform request unBind: the agent's own"); next }
src == "agent" && /^receive .* request from server/ { say("agent", "platform request " $2 ": forwarded to zorvex on the bus"); next }
src == "agent" && /^unbind success/ { say("agent", "unbound: identity removed, session ended, starts over"); next }
src == "platform" && /^request / {
    match($0, /"method":"[^"]*"/)
    say("platform", "HTTPS " substr($0, RSTART + 10, RLENGTH - 11) " answered")
    next
}
src == "platform" && /^seen / { say("platform", "<- " short(mask(substr($0, 6)))); next }
src == "platform" && /^sent / { say("platform", "-> " short(mask(substr($0, 6)))); next }
