'use strict';
'require view';
'require poll';
'require rpc';

// No reject: a ubus status in the reply comes back as its code, a number;
// uhttpd's own refusals (no such object, access denied) still reject.
var callStatus = rpc.declare({
	object: 'ovimar',
	method: 'status'
});

// Why a call failed: a ubus code in the reply, or uhttpd's JSON-RPC error
// for an object not on the bus or a call the session may not make.
var UBUS_NOT_FOUND = 4, UBUS_PERMISSION_DENIED = 6;
var RPC_NO_OBJECT = -32000, RPC_ACCESS_DENIED = -32002;

// state_name -> what an operator calls it.
var STATES = {
	OVIMAR_HTTPS_AUTH: _('Logging in to the platform'),
	OVIMAR_HTTPS_GET_SERVER: _('Asking the platform for its broker'),
	OVIMAR_MQTT_CONNECT: _('Connecting to the broker'),
	OVIMAR_MQTT_CONNECTING: _('Waiting for the broker to accept'),
	OVIMAR_MQTT_RECONNECT: _('Reconnecting to the broker'),
	OVIMAR_MQTT_CONNECTED: _('Connected, synchronising'),
	OVIMAR_MQTT_APP_AUTH: _('Connected, waiting for an app to bind'),
	OVIMAR_FINISHED: _('Bound and managed')
};

// States in which a session stands: nothing is retried there, whatever
// count of failures the agent still reports.
var SESSION = {
	OVIMAR_MQTT_CONNECTED: true, OVIMAR_MQTT_APP_AUTH: true, OVIMAR_FINISHED: true
};

function retrying(s) {
	return s.failures > 0 && !SESSION[s.state_name];
}

// Rows in order; each gives its text, or null to hide the row.
var ROWS = [
	[ 'state', _('State'), function(s) {
		return STATES[s.state_name] || _('Unknown (%s)').format(s.state_name);
	} ],
	[ 'since', _('Since'), function(s) {
		return _('%s (%s)').format(clock(s.state_seconds), ago(s.state_seconds));
	} ],
	[ 'broker', _('Broker'), function(s) {
		return s.broker_address ? '%s:%d'.format(s.broker_address, s.broker_port)
			: _('Not yet named by the platform');
	} ],
	[ 'bound', _('Bound to an account'), function(s) {
		return s.bound ? _('Yes') : _('No');
	} ],
	[ 'sessions', _('Broker sessions since start'), function(s) {
		return '%d'.format(s.connected_times);
	} ],
	[ 'answer', _('Last platform answer'), function(s) {
		if (!s.last_method || s.last_result == null || s.last_result == -1)
			return _('None yet');
		return s.last_result == 0 ? _('%s: success').format(s.last_method)
			: _('%s: error %d').format(s.last_method, s.last_result);
	} ],
	[ 'failures', _('Failed attempts in a row'), function(s) {
		return retrying(s) ? '%d'.format(s.failures) : null;
	} ],
	[ 'next', _('Next attempt'), function(s) {
		if (!retrying(s) || s.retry_in == null)
			return null;
		return _('at %s (in %s)').format(clock(-s.retry_in), span(s.retry_in));
	} ]
];

function span(secs) {
	if (secs < 120)
		return _('%d s').format(secs);
	return secs < 7200 ? _('%d min').format(Math.round(secs / 60))
		: _('%d h').format(Math.round(secs / 3600));
}

function ago(secs) {
	return _('%s ago').format(span(secs));
}

// The browser's clock time secs seconds ago (negative: ahead).
function clock(secs) {
	var d = new Date(Date.now() - secs * 1000);
	return '%02d:%02d:%02d'.format(d.getHours(), d.getMinutes(), d.getSeconds());
}

// The sentence for an answer that is no status table.
function trouble(answer) {
	var code = answer, m;
	if (answer instanceof Error)
		code = (m = /failed with error (-?\d+)/.exec(answer.message)) ? +m[1] : answer.message;
	if (code == UBUS_NOT_FOUND || code == RPC_NO_OBJECT)
		return _('The carrier cloud agent is not running: this router is not connected to the platform. Start it with /etc/init.d/ovimar-agent start.');
	if (code == UBUS_PERMISSION_DENIED || code == RPC_ACCESS_DENIED)
		return _('This login may not read the carrier cloud agent\'s status.');
	return _('The carrier cloud agent\'s status cannot be read (%s).').format(code);
}

return view.extend({
	load: function() {
		return callStatus().catch(function(e) { return e; });
	},

	update: function(node, s) {
		var ok = L.isObject(s) && !(s instanceof Error);
		var note = node.querySelector('#ovimar-note');
		var table = node.querySelector('#ovimar-table');

		note.textContent = ok ? '' : trouble(s);
		note.style.display = ok ? 'none' : '';
		table.style.display = ok ? '' : 'none';
		if (!ok)
			return;

		ROWS.forEach(function(r) {
			var text = r[2](s);
			var row = table.querySelector('#ovimar-row-' + r[0]);
			row.style.display = (text == null) ? 'none' : '';
			row.querySelector('.td.value').textContent = (text == null) ? '' : text;
		});
	},

	render: function(status) {
		var table = E('div', { 'class': 'table', 'id': 'ovimar-table' },
			ROWS.map(function(r) {
				return E('div', { 'class': 'tr', 'id': 'ovimar-row-' + r[0] }, [
					E('div', { 'class': 'td left', 'width': '33%' }, r[1]),
					E('div', { 'class': 'td left value', 'id': 'ovimar-' + r[0] })
				]);
			}));
		var node = E([], [
			E('h2', _('Carrier cloud')),
			E('div', { 'class': 'cbi-map-descr' },
				_('Where this router stands with the carrier cloud platform, as its agent reports it.')),
			E('p', { 'id': 'ovimar-note', 'class': 'alert-message warning' }),
			table
		]);
		var holder = E('div', {}, node);

		this.update(holder, status);
		poll.add(L.bind(function() {
			return callStatus().catch(function(e) { return e; })
				.then(L.bind(this.update, this, holder));
		}, this), 2);

		return holder;
	},

	handleSaveApply: null,
	handleSave: null,
	handleReset: null
});
