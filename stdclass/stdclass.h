// The whole runtime support library.
#pragma once

#include "stdclass/block_pool.h"
#include "stdclass/cpp/err/thr_err.h"
#include "stdclass/log.h"
#include "stdclass/mem_list.h"
#include "stdclass/mem_reg.h"
#include "stdclass/mem_safe.h"
#include "stdclass/pub_ptr.h"
#include "stdclass/thread_mgr.h"
#include "stdclass/tstr.h"
