// CAN controller services. This module owns the CAN exchange
// objects; the services that initialise and use them come with the CAN issue.
#include "can.h"

comm_obj_t can_set_speed_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_get_speed_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_set_filter_mask_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_get_filter_mask_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_trace_enable_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_trace_disable_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_set_mode_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_get_mode_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_reset_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_reinit_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_wakeup_read = COMM_OBJ_INITIALIZER;
comm_obj_t can_wakeup_write = COMM_OBJ_INITIALIZER;
comm_obj_t can_set_lcmode_ctl = COMM_OBJ_INITIALIZER;
comm_obj_t can_get_lcmode_ctl = COMM_OBJ_INITIALIZER;
