classdef Channel < handle
    %CHANNEL One open channel of an instance; made by Instance.channel,
    %   channelById and channelByName. Opening marks it for measuring.
    %
    %   [values, times, overrun] = ch.read(maxCount)
    %   ch.write(2.5)                            % control channels only
    %
    %   The channel keeps its instance alive; clearing the last reference
    %   frees the handle.

    % SPDX-License-Identifier: MIT

    properties (SetAccess = private)
        Instance     % the ktremote.Instance it was opened on
        Handle       % the gateway's number for this channel (uint64)
        Id           % the id it was opened with ('' when opened by name)
        Name         % name (char)
        Unit         % unit (char)
        Type         % 'sync', 'async' or 'single'
        SampleRate   % Hz; the expected rate of an async channel, -1 for single values
        IsControl    % true when it accepts written values
    end

    methods
        function obj = Channel(instance, handle, id)
            obj.Instance = instance;
            obj.Handle = handle;
            obj.Id = id;
            info = ktremote_mex('channelInfo', handle);
            obj.Name = info.name;
            obj.Unit = info.unit;
            obj.Type = ktremote.Channel.typeName(info.type);
            obj.SampleRate = info.sampleRate;
            obj.IsControl = info.isControl;
        end

        function delete(obj)
            if isempty(obj.Handle)
                return;
            end
            try
                ktremote_mex('free', obj.Handle);
            catch
                % Freed with its instance already; delete must not raise.
            end
            obj.Handle = [];
        end

        function [values, times, overrun, more] = read(obj, maxCount, timeBase)
            %READ Takes up to maxCount (default 65536) buffered samples.
            %   values and times are double column vectors; times are
            %   seconds since the start, or days since 1899-12-30 with
            %   read(maxCount, 'absolute'). overrun is true when samples
            %   were dropped during this measurement because the buffer was
            %   full (the ones returned are still valid); more is true when
            %   an automation instance had more samples waiting.
            if nargin < 2
                maxCount = 65536;
            end
            absolute = false;
            if nargin >= 3
                if ~strcmp(timeBase, 'absolute') && ~strcmp(timeBase, 'relative')
                    error('ktremote:badArgument', 'read: the time base is ''relative'' or ''absolute''');
                end
                absolute = strcmp(timeBase, 'absolute');
            end
            [values, times, overrun, more] = ktremote_mex('read', obj.Handle, maxCount, absolute);
        end

        function write(obj, value)
            %WRITE Writes a value to a control channel.
            ktremote_mex('write', obj.Handle, value);
        end

        function setTransferred(obj, transferred)
            %SETTRANSFERRED Whether the next start measures this channel.
            ktremote_mex('setTransferred', obj.Handle, logical(transferred));
        end
    end

    methods (Static)
        function name = typeName(type)
            names = {'async', 'sync', 'single'};
            if type >= 0 && type < numel(names)
                name = names{type + 1};
            else
                name = 'unknown';
            end
        end
    end
end
