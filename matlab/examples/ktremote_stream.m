function total = ktremote_stream(connectText, seconds)
%KTREMOTE_STREAM Connects to the application, lists its channels, measures
%   all of them for a few seconds and prints a summary per channel.
%
%   ktremote_stream()                          % localhost 8999 8001, 3 s
%   ktremote_stream('host 8999 8001', 10)
%   total = ktremote_stream(...)               % the number of samples
%
%   The samples of each channel are collected in data.(name).values and
%   .times; plot(data.Voltage.times, data.Voltage.values) shows one.

% SPDX-License-Identifier: MIT
if nargin < 1
    connectText = 'localhost 8999 8001';
end
if nargin < 2
    seconds = 3;
end

app = ktremote.Instance();
app.connect(connectText);
fprintf('connected to "%s", application state %s\n', connectText, app.state());

list = app.channels();
list = list(~cellfun(@isempty, {list.id}));
fprintf('%-24s %-10s %-6s %10s\n', 'channel', 'unit', 'type', 'rate/Hz');
channels = cell(numel(list), 1);
for k = 1:numel(list)
    fprintf('%-24s %-10s %-6s %10.3f\n', list(k).name, list(k).unit, list(k).type, list(k).sampleRate);
    channels{k} = app.channelById(list(k).id);   % opening marks it for measuring
end

data = struct();
collected = cell(numel(channels), 2);
dropped = false(numel(channels), 1);
app.start();
started = tic;
while toc(started) < seconds
    pause(0.05);
    [collected, dropped] = drain(channels, collected, dropped);
end
app.stop();
[collected, dropped] = drain(channels, collected, dropped);   % received before the stop

total = 0;
fprintf('\n%-24s %10s %12s %12s %12s %10s\n', 'channel', 'samples', 'min', 'mean', 'max', 'span/s');
for k = 1:numel(channels)
    values = collected{k, 1};
    times = collected{k, 2};
    total = total + numel(values);
    data.(matlab.lang.makeValidName(channels{k}.Name)) = struct('values', values, 'times', times);
    if isempty(values)
        fprintf('%-24s %10d\n', channels{k}.Name, 0);
    elseif strcmp(channels{k}.Type, 'single')
        % Single values carry no time of their own (see docs/matlab.md).
        fprintf('%-24s %10d %12.4g %12.4g %12.4g %10s\n', channels{k}.Name, numel(values), ...
                min(values), mean(values), max(values), '-');
    else
        fprintf('%-24s %10d %12.4g %12.4g %12.4g %10.3f\n', channels{k}.Name, numel(values), ...
                min(values), mean(values), max(values), times(end) - times(1));
    end
    if dropped(k)
        fprintf('  %s: samples were dropped; read more often or raise setBufferSize\n', channels{k}.Name);
    end
end
assignin('base', 'ktremote_data', data);
fprintf('%d samples; the data are in ktremote_data\n', total);
end

function [collected, dropped] = drain(channels, collected, dropped)
for k = 1:numel(channels)
    [values, times, overrun] = channels{k}.read();
    collected{k, 1} = [collected{k, 1}; values];
    collected{k, 2} = [collected{k, 2}; times];
    dropped(k) = dropped(k) || overrun;
end
end
