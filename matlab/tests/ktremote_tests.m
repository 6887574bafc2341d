function failures = ktremote_tests(connectText, storeDir, faultyText)
%KTREMOTE_TESTS Runs the toolbox tests against ktsim (builtin:clean setup)
%   listening at CONNECTTEXT ('host cmdport dataport'); ktsim stores into
%   STOREDIR. FAULTYTEXT names a second ktsim that drops the command
%   connection at STARTACQ. Returns the number of failed tests.
%   matlab/tests/run.sh starts both and calls this.
%
%   ktremote_tests() runs the tests that need no application.

% SPDX-License-Identifier: MIT
if nargin == 0
    connectText = '';
    storeDir = '';
    faultyText = '';
    tests = {@gatewayUnloadsWhenNothingIsOpen, @notConnectedAndBadArguments};
else
    tests = {@gatewayUnloadsOnceAConnectedInstanceIsCleared, ...
             @listsAndOpensChannels, @streamsPredictedValuesAndWritesControlValues, ...
             @reportsOverrun, @statesSetupsAndStoring, @handlesAreFreedAndChecked, ...
             @aFailedStartReportsItsStep};
end
failures = 0;
for k = 1:numel(tests)
    name = func2str(tests{k});
    started = tic;
    try
        tests{k}(connectText, storeDir, faultyText);
        fprintf('ok     %s (%.1f s)\n', name, toc(started));
    catch err
        failures = failures + 1;
        fprintf('FAILED %s: %s (%s)\n', name, err.message, err.identifier);
        for s = 1:numel(err.stack)
            fprintf('         at %s line %d\n', err.stack(s).name, err.stack(s).line);
        end
    end
end
fprintf('%d of %d tests failed\n', failures, numel(tests));
end

function notConnectedAndBadArguments(~, ~, ~)
check(strcmp(ktremote.Instance.version(), projectVersion()), 'version text');
app = ktremote.Instance();
expectError(@() app.channelCount(), 'ktremote:KX_ERR_NOT_CONNECTED');
expectError(@() app.state(), 'ktremote:KX_ERR_NOT_CONNECTED');
expectError(@() app.start(), 'ktremote:KX_ERR_NOT_CONNECTED');
expectError(@() app.channel('Voltage'), 'ktremote:KX_ERR_NOT_CONNECTED');
% Two words instead of three: refused at once, and still not connected.
expectError(@() app.connect('localhost 8999'), 'ktremote:KX_ERR_BAD_ADDRESS');
expectError(@() app.isAcquiring(), 'ktremote:KX_ERR_NOT_CONNECTED');
expectError(@() app.connect(42), 'ktremote:badArgument');
expectError(@() ktremote.Instance('serial'), 'ktremote:badArgument');
expectError(@() ktremote_mex(), 'ktremote:badArgument');
expectError(@() ktremote_mex('noSuchCommand'), 'ktremote:badArgument');
expectError(@() ktremote_mex('channelCount'), 'ktremote:badArgument');
expectError(@() ktremote_mex('channelCount', 1), 'ktremote:badArgument');
end

function gatewayUnloadsWhenNothingIsOpen(~, ~, ~)
app = ktremote.Instance();
check(mislocked('ktremote_mex'), 'locked while a handle is open');
clear ktremote_mex
check(ktremote_mex('handleCount') == 1, 'the handle survives clear mex');
stale = app.Handle;
clear app
check(~mislocked('ktremote_mex'), 'unlocked once nothing is open');
clear ktremote_mex
% The reloaded gateway knows nothing of the old number, also once it has
% handed out a number of its own.
fresh = ktremote.Instance();
check(ktremote_mex('handleCount') == 1 && fresh.Handle ~= stale, 'a new number after reloading');
expectError(@() ktremote_mex('channelCount', stale), 'ktremote:KX_ERR_INVALID_HANDLE');
clear fresh
end

function gatewayUnloadsOnceAConnectedInstanceIsCleared(connectText, ~, ~)
app = connected(connectText);
check(mislocked('ktremote_mex'), 'locked while a connected instance is open');
clear app
check(~mislocked('ktremote_mex'), 'unlocked once the connected instance is cleared');
clear ktremote_mex
end

function listsAndOpensChannels(connectText, ~, ~)
app = connected(connectText);
list = app.channels();
check(numel(list) == app.channelCount(), 'one entry per channel');
names = {list.name};
check(isequal(names(1:3), {'Voltage', 'Current', 'Pressure'}), 'channel order');
voltage = list(strcmp(names, 'Voltage'));
check(strcmp(voltage.id, '0,1,1') && strcmp(voltage.unit, 'V') && strcmp(voltage.type, 'sync') ...
      && voltage.sampleRate == 1000 && ~voltage.isControl, 'Voltage attributes');
temperature = list(strcmp(names, 'Temperature'));
check(strcmp(temperature.type, 'async') && temperature.sampleRate == 20, 'Temperature attributes');
setpoint = list(strcmp(names, 'Setpoint'));
check(strcmp(setpoint.type, 'single') && setpoint.sampleRate == -1 && setpoint.isControl, ...
      'Setpoint attributes');

byId = app.channelById('0,1,1');
check(strcmp(byId.Name, 'Voltage') && strcmp(byId.Id, '0,1,1'), 'open by id');
byName = app.channel('Pressure');
check(strcmp(byName.Unit, 'bar') && isempty(byName.Id), 'open by name');
check(strcmp(app.channel('0,2,1').Name, 'Temperature'), 'channel() falls back to the id');
expectError(@() app.channelByName('Spannung ä'), 'ktremote:KX_ERR_CHANNEL_NOT_FOUND');
expectError(@() app.channel('no such channel'), 'ktremote:KX_ERR_CHANNEL_NOT_FOUND');
expectError(@() app.channelById('0,9,9'), 'ktremote:KX_ERR_CHANNEL_NOT_CREATED');
end

function streamsPredictedValuesAndWritesControlValues(connectText, ~, ~)
app = connected(connectText);
voltage = app.channel('Voltage');      % sync, 1000 Hz: 5 sin(2 pi 2 t)
position = app.channel('Position');    % sync, 100 Hz: counter 0.5 i, wrapping at 1000
setpoint = app.channel('Setpoint');    % single value, control, initially 1.5
% Fetching the list again must not drop the channels opened above.
app.channelIds();
app.setBufferSize(20000);
app.start();
check(app.isAcquiring() && strcmp(app.state(), 'acquiring'), 'acquiring after start');
expectError(@() voltage.write(1), 'ktremote:KX_ERR_NOT_CONTROL_CHANNEL');

v = []; vt = []; p = []; pt = []; s = [];
overrun = false;
deadline = tic;
while numel(v) < 500 || numel(p) < 50 || ~any(s == 2.5)
    check(toc(deadline) < 30, sprintf('samples within 30 s: %d, %d, %d', numel(v), numel(p), numel(s)));
    [values, times, o1] = voltage.read(1000);
    v = [v; values]; vt = [vt; times];
    [values, times, o2] = position.read();
    p = [p; values]; pt = [pt; times];
    if isempty(s)
        s = setpoint.read();
        if ~isempty(s)
            % The setup's value first; then the written one follows.
            check(s(1) == 1.5, sprintf('Setpoint starts at 1.5, not %g', s(1)));
            setpoint.write(2.5);
        end
    else
        s = [s; setpoint.read()];
    end
    overrun = overrun || o1 || o2;
    pause(0.02);
end
app.stop();
check(~app.isAcquiring(), 'not acquiring after stop');
% What came before the stop is still there; nothing is lost or repeated.
[values, times] = voltage.read();
v = [v; values]; vt = [vt; times];
[values, times] = position.read();
p = [p; values]; pt = [pt; times];
check(~overrun, 'no overrun with a large buffer');
check(iscolumn(v) && iscolumn(vt) && isa(v, 'double'), 'double column vectors');

i = (0:numel(v) - 1)';
expected = 5 * sin(2 * pi * (2 * mod(i, 500) / 1000));
check(max(abs(v - expected)) < 1e-9, 'Voltage follows the model');
check(max(abs(vt - i / 1000)) < 1e-9, 'Voltage times');
i = (0:numel(p) - 1)';
check(isequal(p, 0.5 * mod(i, 1000)), 'Position follows the model exactly');
check(max(abs(pt - i / 100)) < 1e-9, 'Position times');
check(all(s == 1.5 | s == 2.5) && all(diff(s) >= 0), ['Setpoint: 1.5, then 2.5: ' mat2str(s')]);

[values, times] = voltage.read(10, 'absolute');
check(isempty(values) && isempty(times) && size(values, 2) == 1, 'an empty read gives 0x1');
expectError(@() voltage.read(-1), 'ktremote:badArgument');
expectError(@() voltage.read(1.5), 'ktremote:badArgument');
expectError(@() voltage.read(10, 'days'), 'ktremote:badArgument');
end

function reportsOverrun(connectText, ~, ~)
app = connected(connectText);
voltage = app.channel('Voltage');
app.setBufferSize(10);
app.start();
% 1000 samples/s into a buffer of 10, read one at a time: samples drop.
overrun = false;
deadline = tic;
while ~overrun
    check(toc(deadline) < 30, 'overrun reported within 30 s');
    pause(0.05);
    [values, ~, overrun] = voltage.read(1);
end
check(numel(values) == 1, 'the read with the overrun still delivers');
app.stop();
expectError(@() app.setBufferSize(0), 'ktremote:badArgument');
end

function statesSetupsAndStoring(connectText, storeDir, ~)
app = connected(connectText);
check(strcmp(app.state(), 'setup'), 'setup state before measuring');
% A setup with a nameless channel, two channels with one id and texts
% with blanks and non-ASCII characters; channels open from the new list.
here = fileparts(mfilename('fullpath'));
app.loadSetup(fullfile(here, '..', '..', 'tools', 'ktsim', 'setups', 'edge-cases.kts'));
list = app.channels();
check(numel(list) == 7 && isempty(list(7).id) && strcmp(list(7).type, 'unknown'), 'nameless channel listed');
long = app.channel('Long name with blanks');
check(strcmp(long.Unit, 'm/s²') && strcmp(long.Type, 'single'), 'non-ASCII unit');
clear long
app.loadSetup('builtin:clean');
expectError(@() app.channel('Long name with blanks'), 'ktremote:KX_ERR_CHANNEL_NOT_FOUND');
expectError(@() app.loadSetup('/no/such/setup.kts'), 'ktremote:KX_ERR_SETUP_NOT_LOADED');
expectError(@() app.startStoring('early.csv'), 'ktremote:KX_ERR_START_STORING');
app.channel('Ticks');
app.start();
app.startStoring('matlab-store.csv');
check(strcmp(app.stopStoring(), 'acquiring'), 'state after storing stopped');
check(exist(fullfile(storeDir, 'matlab-store.csv'), 'file') == 2, 'the stored file exists');
expectError(@() app.stopStoring(), 'ktremote:KX_ERR_STOP_STORING');
app.stop();
check(strcmp(app.state(), 'setup'), 'setup state after stop');
end

function handlesAreFreedAndChecked(connectText, ~, ~)
base = ktremote_mex('handleCount');
app = connected(connectText);
ch = app.channel('Voltage');
check(ktremote_mex('handleCount') == base + 2, 'two handles');
stale = ch.Handle;
clear ch
check(ktremote_mex('handleCount') == base + 1, 'clearing the channel frees its handle');
expectError(@() ktremote_mex('free', stale), 'ktremote:KX_ERR_INVALID_HANDLE');
expectError(@() ktremote_mex('read', stale, 10), 'ktremote:KX_ERR_INVALID_HANDLE');
expectError(@() ktremote_mex('read', app.Handle, 10), 'ktremote:KX_ERR_INVALID_HANDLE');
expectError(@() ktremote_mex('channelCount', stale + 1000), 'ktremote:KX_ERR_INVALID_HANDLE');

% Freeing an instance frees the channels opened on it; their objects then
% report the handle as gone, and clearing them is quiet.
ch = app.channel('Voltage');
ktremote_mex('free', app.Handle);
check(ktremote_mex('handleCount') == base, 'the instance took its channel with it');
expectError(@() ch.read(), 'ktremote:KX_ERR_INVALID_HANDLE');
expectError(@() app.state(), 'ktremote:KX_ERR_INVALID_HANDLE');
clear ch app

% An instance cleared while it measures gives the data port back: the next
% one measures on the same port.
app = connected(connectText);
ch = app.channel('Voltage');
app.start();
clear app ch
check(ktremote_mex('handleCount') == base, 'clearing the measuring instance frees everything');
app = connected(connectText);
voltage = app.channel('Voltage');
app.start();
deadline = tic;
while isempty(voltage.read())
    check(toc(deadline) < 30, 'samples on the reused data port within 30 s');
    pause(0.02);
end
app.stop();
end

function aFailedStartReportsItsStep(~, ~, faultyText)
% The faulty application drops the command connection at STARTACQ, after
% the data port was opened: the start fails at its last step, and freeing
% the instance afterwards neither hangs nor leaves a handle behind.
base = ktremote_mex('handleCount');
app = connected(faultyText);
ch = app.channel('Voltage');
expectError(@() app.start(), 'ktremote:KX_ERR_START_STEP6');
clear ch app
check(ktremote_mex('handleCount') == base, 'the failed instance is freed');
end

% ---- helpers

function app = connected(connectText)
app = ktremote.Instance();
app.connect(connectText);
end

function text = projectVersion()
% The version of the project() call in the top CMakeLists.txt, which the
% library of every build reports.
here = fileparts(mfilename('fullpath'));
cmake = fileread(fullfile(here, '..', '..', 'CMakeLists.txt'));
found = regexp(cmake, 'project\(ktremote VERSION ([0-9.]+)', 'tokens', 'once');
if isempty(found)
    error('ktremote:testFailed', 'no project(ktremote VERSION ...) in CMakeLists.txt');
end
text = found{1};
end

function check(condition, what)
if ~condition
    error('ktremote:testFailed', 'check failed: %s', what);
end
end

function expectError(fn, identifier)
try
    fn();
catch err
    if ~strcmp(err.identifier, identifier)
        error('ktremote:testFailed', 'expected %s, got %s: %s', identifier, err.identifier, err.message);
    end
    return;
end
error('ktremote:testFailed', 'expected %s, got no error', identifier);
end
